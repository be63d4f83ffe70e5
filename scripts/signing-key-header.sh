#!/usr/bin/env bash
# Writes the Worker's built-in update signing key header and its root of
# trust header.
#   signing-key-header.sh <release-tool> <header> <public.pem> [<root.json>]
#   signing-key-header.sh <release-tool> <header> --dev <key-dir> [<root.json>]
# With --dev, a development key pair is made once in <key-dir> (the private
# half stays there; only the public modulus goes into the header). Without a
# root document, a development root is made once beside the keys: a root key
# <key-dir>/root-1.pem and root 1 in <key-dir>/root-tree/launcher/root/,
# naming the signing key as its document key (made again when that key
# changes). The root header is trusted_root.h beside <header>.
# Headers are rewritten only when their content changes.
set -euo pipefail
tool=$1 header=$2
if [ "$3" = "--dev" ]; then
  dir=$4
  root=${5:-}
  mkdir -p "$dir"
  if [ ! -f "$dir/update-signing.pem" ]; then
    "$tool" keygen "$dir/update-signing.pem" "$dir/update-signing.pub.pem"
  fi
  public=$dir/update-signing.pub.pem
else
  public=$3
  root=${4:-}
  dir=$(dirname "$header")/../keys
fi
mkdir -p "$(dirname "$header")"
replace() { if cmp -s "$1.tmp" "$1"; then rm -f "$1.tmp"; else mv "$1.tmp" "$1"; fi; }
"$tool" pubkey-header "$public" "$header.tmp" >/dev/null
replace "$header"
if [ -z "$root" ]; then
  tree=$dir/root-tree
  stamp=$(sha256sum <"$public" | cut -c1-64)
  if [ ! -f "$tree/launcher/root/1.root.json" ] || [ "$(cat "$tree/document-key" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$tree"
    [ -f "$dir/root-1.pem" ] || "$tool" keygen "$dir/root-1.pem" "$dir/root-1.pub.pem" >/dev/null
    "$tool" root-init "$tree" --root-key "$dir/root-1.pem" --document-key "$public" \
      --lifetime-days 3650 >/dev/null
    echo "$stamp" >"$tree/document-key"
  fi
  root=$tree/launcher/root/1.root.json
fi
root_header=$(dirname "$header")/trusted_root.h
"$tool" root-header "$root" "$root_header.tmp" >/dev/null
replace "$root_header"
