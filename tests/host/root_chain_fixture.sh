#!/usr/bin/env bash
# Roots and documents for the root-of-trust scenario, made with the release
# tool under <tree>/root-cases/ (the test serves them by copying into
# /launcher/root/ and /launcher/):
#   chain/   roots 2 (document key k2) and 3 (k3, revoking k2) after the
#            build's development root 1, then 4..43 and an expired 44
#   bad/     root 4 variants: skip (version 5), older (version 3), foreign
#            (signed only by a key root 3 does not name), twice (threshold 2
#            met by one key signing twice)
#   docs/<set>/  catalog, news and control: k1-s5 (the build's key), k2-s5,
#            leak (k2, serial fast-forwarded), k2-s6, k3-s6
#   games/fresh/manifest-leak.json (k2, serial fast-forwarded) and
#            manifest-k3-s6.json: the fresh product's manifest
#            (update_host_fixture.sh) signed by those keys
#   root_chain_fixture.sh <build-dir>
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
tool=$build/native/orvelant-release
tree=$build/tests/host/tree
out=$tree/root-cases
work=$build/tests/host/root-work
rm -rf "$out" "$work"
mkdir -p "$out/chain" "$out/bad" "$work/keys"
for k in k2 k3 r2; do "$tool" keygen "$work/keys/$k.pem" "$work/keys/$k.pub.pem" >/dev/null; done
r1=$build/keys/root-1.pem
q() { "$tool" "$@" >/dev/null; }

# The chain after the build's root 1.
mkdir -p "$work/main/launcher/root"
cp "$build/keys/root-tree/launcher/root/1.root.json"* "$work/main/launcher/root/"
q root-next "$work/main" --sign-key "$r1" --document-key "$work/keys/k2.pub.pem"
q root-next "$work/main" --sign-key "$r1" --document-key "$work/keys/k3.pub.pem"
snapshot() { rm -rf "$work/$1"; cp -r "$work/main" "$work/$1"; }
snapshot skip; snapshot foreign; snapshot twice
for n in $(seq 4 43); do q root-next "$work/main" --sign-key "$r1"; done
q root-next "$work/main" --sign-key "$r1" --expires 2020-01-01T00:00:00Z
cp "$work/main/launcher/root/"* "$out/chain/"

# Links the Worker must refuse, each served as root 4.
bad() { cp "$work/$2/launcher/root/$3.root.json" "$out/bad/$1.root.json"
        cp "$work/$2/launcher/root/$3.root.json.sigs" "$out/bad/$1.root.json.sigs"; }
q root-next "$work/skip" --sign-key "$r1"; q root-next "$work/skip" --sign-key "$r1"
bad skip skip 5
bad older main 3
r1_id=$(cut -d' ' -f1 "$work/main/launcher/root/1.root.json.sigs")
q root-next "$work/foreign" --sign-key "$r1" --sign-key "$work/keys/r2.pem" --root-key "$work/keys/r2.pub.pem"
bad foreign foreign 4
grep -v "^$r1_id " "$work/foreign/launcher/root/4.root.json.sigs" >"$out/bad/foreign.root.json.sigs"
q root-next "$work/twice" --sign-key "$r1" --sign-key "$work/keys/r2.pem" --root-key "$build/keys/root-1.pub.pem" \
  --root-key "$work/keys/r2.pub.pem" --root-threshold 2
bad twice twice 4
line=$(grep "^$r1_id " "$work/twice/launcher/root/4.root.json.sigs")
printf '%s\n%s\n' "$line" "$line" >"$out/bad/twice.root.json.sigs"

# Documents.
docs() {  # docs <set> <key> <serial>
  local d=$out/docs/$1 nl=$'\r\n'
  mkdir -p "$d"
  local head="{$nl  \"serial\": $3,$nl  \"expires\": \"2099-12-31T23:59:59Z\",$nl"
  printf '%s' "$head  \"products\": []$nl}$nl" >"$d/catalog.json"
  printf '%s' "$head  \"items\": []$nl}$nl" >"$d/news.json"
  printf '%s' "$head  \"service_state\": \"online\"$nl}$nl" >"$d/control.json"
  for f in catalog news control; do q sign "$2" "$d/$f.json"; done
}
docs k1-s5 "$build/keys/update-signing.pem" 5
docs k2-s5 "$work/keys/k2.pem" 5
docs leak "$work/keys/k2.pem" 999999999999
docs k2-s6 "$work/keys/k2.pem" 6
docs k3-s6 "$work/keys/k3.pem" 6

# The product's manifest under the leaked key and under its successor.
m=$tree/games/fresh
sed 's/"serial": 5,/"serial": 999999999999,/' "$m/manifest-s5.json" >"$m/manifest-leak.json"
sed 's/"serial": 5,/"serial": 6,/' "$m/manifest-s5.json" >"$m/manifest-k3-s6.json"
q sign "$work/keys/k2.pem" "$m/manifest-leak.json"
q sign "$work/keys/k3.pem" "$m/manifest-k3-s6.json"
