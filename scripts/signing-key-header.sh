#!/usr/bin/env bash
# Writes the Worker's built-in update signing key header.
#   signing-key-header.sh <release-tool> <header> <public.pem>
#   signing-key-header.sh <release-tool> <header> --dev <key-dir>
# With --dev, a development key pair is made once in <key-dir> (the private
# half stays there; only the public modulus goes into the header).
# The header is rewritten only when its content changes.
set -euo pipefail
tool=$1 header=$2
if [ "$3" = "--dev" ]; then
  dir=$4
  mkdir -p "$dir"
  if [ ! -f "$dir/update-signing.pem" ]; then
    "$tool" keygen "$dir/update-signing.pem" "$dir/update-signing.pub.pem"
  fi
  public=$dir/update-signing.pub.pem
else
  public=$3
fi
mkdir -p "$(dirname "$header")"
"$tool" pubkey-header "$public" "$header.tmp"
if cmp -s "$header.tmp" "$header"; then rm -f "$header.tmp"; else mv "$header.tmp" "$header"; fi
