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
#            k34-s7 (.sigs by k3 and k4), k3-once and k3-twice (.sigs
#            with k3's signature alone or twice)
#   dual/    root 4 after root 3: document keys k3 and k4, threshold 2
#   games/fresh/manifest-leak.json (k2, serial fast-forwarded),
#            manifest-k3-s6.json and manifest-k34-s7.json (.sigs): the fresh
#            product's manifest (update_host_fixture.sh) signed by those keys
#   root_chain_fixture.sh <build-dir>
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
tool=$build/native/orvelant-release
tree=$build/tests/host/tree
out=$tree/root-cases
work=$build/tests/host/root-work
rm -rf "$out" "$work"
mkdir -p "$out/chain" "$out/bad" "$out/dual" "$work/keys"
for k in k2 k3 k4 r2; do "$tool" keygen "$work/keys/$k.pem" "$work/keys/$k.pub.pem" >/dev/null; done
r1=$build/keys/root-1.pem
q() { "$tool" "$@" >/dev/null; }

# The chain after the build's root 1.
mkdir -p "$work/main/launcher/root"
cp "$build/keys/root-tree/launcher/root/1.root.json"* "$work/main/launcher/root/"
q root-next "$work/main" --sign-key "$r1" --document-key "$work/keys/k2.pub.pem"
q root-next "$work/main" --sign-key "$r1" --document-key "$work/keys/k3.pub.pem"
snapshot() { rm -rf "$work/$1"; cp -r "$work/main" "$work/$1"; }
snapshot skip; snapshot foreign; snapshot twice; snapshot dual
for n in $(seq 4 44); do q root-next "$work/main" --sign-key "$r1"; done
# root-next makes no root that has already expired: root 44 is signed again by hand.
r1_id=$(cut -d' ' -f1 "$work/main/launcher/root/1.root.json.sigs")
hexsig() { openssl dgst -sha256 -sign "$1" "$2" | od -An -v -tx1 | tr -d ' \n'; }
sed -i 's/"expires": "[^"]*"/"expires": "2020-01-01T00:00:00Z"/' "$work/main/launcher/root/44.root.json"
printf '%s %s\n' "$r1_id" "$(hexsig "$r1" "$work/main/launcher/root/44.root.json")" \
  >"$work/main/launcher/root/44.root.json.sigs"
cp "$work/main/launcher/root/"* "$out/chain/"

# Links the Worker must refuse, each served as root 4.
bad() { cp "$work/$2/launcher/root/$3.root.json" "$out/bad/$1.root.json"
        cp "$work/$2/launcher/root/$3.root.json.sigs" "$out/bad/$1.root.json.sigs"; }
q root-next "$work/skip" --sign-key "$r1"; q root-next "$work/skip" --sign-key "$r1"
bad skip skip 5
bad older main 3
q root-next "$work/foreign" --sign-key "$r1" --sign-key "$work/keys/r2.pem" --root-key "$work/keys/r2.pub.pem"
bad foreign foreign 4
grep -v "^$r1_id " "$work/foreign/launcher/root/4.root.json.sigs" >"$out/bad/foreign.root.json.sigs"
q root-next "$work/twice" --sign-key "$r1" --sign-key "$work/keys/r2.pem" --root-key "$build/keys/root-1.pub.pem" \
  --root-key "$work/keys/r2.pub.pem" --root-threshold 2
bad twice twice 4
line=$(grep "^$r1_id " "$work/twice/launcher/root/4.root.json.sigs")
printf '%s\n%s\n' "$line" "$line" >"$out/bad/twice.root.json.sigs"

q root-next "$work/dual" --sign-key "$r1" --document-key "$work/keys/k3.pub.pem" \
  --document-key "$work/keys/k4.pub.pem" --document-threshold 2
cp "$work/dual/launcher/root/4.root.json"* "$out/dual/"

# sigs <file> <key>...: <file>.sigs, one "<key id> <signature>" line per key.
sigs() {
  local f=$1 k id
  shift
  : >"$f.sigs"
  for k in "$@"; do
    id=$(openssl rsa -in "$k" -modulus -noout | sed 's/^Modulus=//' | perl -ne 'chomp; print pack("H*", $_)' | sha256sum | cut -c1-64)
    printf '%s %s\n' "$id" "$(hexsig "$k" "$f")" >>"$f.sigs"
  done
}

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
docs k34-s7 "$work/keys/k3.pem" 7; docs k3-once "$work/keys/k3.pem" 8; docs k3-twice "$work/keys/k3.pem" 8
k3=$work/keys/k3.pem k4=$work/keys/k4.pem
for f in catalog news control; do
  sigs "$out/docs/k34-s7/$f.json" "$k3" "$k4"
  sigs "$out/docs/k3-once/$f.json" "$k3"
  sigs "$out/docs/k3-twice/$f.json" "$k3" "$k3"
done

# The product's manifest under the leaked key and under its successor.
m=$tree/games/fresh
sed 's/"serial": 5,/"serial": 999999999999,/' "$m/manifest-s5.json" >"$m/manifest-leak.json"
sed 's/"serial": 5,/"serial": 6,/' "$m/manifest-s5.json" >"$m/manifest-k3-s6.json"
q sign "$work/keys/k2.pem" "$m/manifest-leak.json"
q sign "$work/keys/k3.pem" "$m/manifest-k3-s6.json"
sed 's/"serial": 5,/"serial": 7,/' "$m/manifest-s5.json" >"$m/manifest-k34-s7.json"
q sign "$k3" "$m/manifest-k34-s7.json"
sigs "$m/manifest-k34-s7.json" "$k3" "$k4"
