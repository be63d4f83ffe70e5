#!/usr/bin/env bash
# The root of trust: root-init, root-next (rotation, revocation, root key
# replacement) and the links it refuses to make, root-check of good and broken
# chains, and publish/refresh signing only with a document key of the tree's
# current root while keeping its chain (prune too).
. "${ORV_TESTLIB:-$(dirname "$0")/testlib.sh}"
T=$ORV_RELEASE
cd "$ORV_WORK"

mkdir -p keys offline game
for k in root-a root-b doc-1 doc-2 doc-3 stranger; do
  "$T" keygen keys/$k.pem keys/$k.pub.pem >/dev/null || fail "keygen $k"
done
# The root keys live elsewhere: root-init takes them once.
mv keys/root-a.pem keys/root-b.pem offline/
printf 'MZ game' >game/ORVELANT.exe
cat >release.txt <<'DESC'
host = localhost
[control]
service_state = normal
installer_url = https://localhost/launcher/releases/v1/Setup.exe
[product p]
title = P
install_dir = p
executable = ORVELANT.exe
manifest_path = /games/p/manifest.json
folder = game
version = 1
DESC
id() { openssl rsa -pubin -in "$1" -modulus -noout | sed 's/^Modulus=//' | perl -ne 'chomp; print pack("H*", $_)' | sha256sum | cut -c1-64; }
root=tree/launcher/root

group "root 1"
refused "document key only" "needs --root-key" "$T" root-init tree --document-key keys/doc-1.pub.pem
refused "threshold beyond the keys" "root threshold 2 cannot be met by 1 root keys" \
  "$T" root-init tree --root-key offline/root-a.pem --document-key keys/doc-1.pub.pem --root-threshold 2
refused "a public root key cannot sign root 1" "private key" \
  "$T" root-init tree --root-key keys/root-a.pub.pem --document-key keys/doc-1.pub.pem
ok "root-init" "$T" root-init tree --root-key offline/root-a.pem --document-key keys/doc-1.pub.pem
grep -q '"root_version": 1,' $root/1.root.json || fail "root 1 carries its version"
grep -q "\"key_id\": \"$(id keys/doc-1.pub.pem)\"" $root/1.root.json || fail "root 1 names doc-1 by its modulus digest"
same "one signature line, naming root-a" "$(id keys/root-a.pub.pem)" "$(cut -d' ' -f1 $root/1.root.json.sigs)"
refused "root 1 only once" "root-next" "$T" root-init tree --root-key offline/root-a.pem --document-key keys/doc-1.pub.pem

group "publish and refresh sign with a document key of the current root"
refused "a key root 1 does not name" "is not a document key of the tree's root 1" \
  "$T" publish release.txt tree --key keys/stranger.pem
[ ! -e tree/launcher/catalog.json ] || fail "a refused publish wrote nothing"
ok "publish with doc-1 into the folder that holds only the chain" "$T" publish release.txt tree --key keys/doc-1.pem
openssl_verifies keys/doc-1.pub.pem tree/launcher/catalog.json || fail "catalog signed by doc-1 (plain .sig)"
[ -f $root/1.root.json ] || fail "publish kept the root chain"
ok "root-check of the chain and the documents" "$T" root-check tree

group "rotation: root 2 names doc-2"
refused "signed by a key no root names" "is not a root key of root 1 or 2" \
  "$T" root-next tree --sign-key keys/stranger.pem --document-key keys/doc-2.pub.pem
ok "root-next" "$T" root-next tree --sign-key offline/root-a.pem --document-key keys/doc-2.pub.pem
grep -q "$(id keys/doc-2.pub.pem)" $root/2.root.json && ! grep -q "$(id keys/doc-1.pub.pem)" $root/2.root.json ||
  fail "root 2 names doc-2 and no longer doc-1"
refused "documents still signed by doc-1" "is not signed by a document key of root 2" "$T" root-check tree
refused "refresh with the rotated-away key" "is not a document key of the tree's root 2" \
  "$T" refresh tree --key keys/doc-1.pem
ok "refresh with doc-2" "$T" refresh tree --key keys/doc-2.pem
openssl_verifies keys/doc-2.pub.pem tree/launcher/control.json || fail "control re-signed by doc-2"
ok "root-check after the refresh" "$T" root-check tree

group "root keys replaced: root 3 needs root-a (root 2) and root-b (its own)"
refused "only the new root key" "signatures by root keys of root 2" \
  "$T" root-next tree --sign-key offline/root-b.pem --root-key keys/root-b.pub.pem
refused "only the old root key" "signatures by its own root keys" \
  "$T" root-next tree --sign-key offline/root-a.pem --root-key keys/root-b.pub.pem
ok "both" "$T" root-next tree --sign-key offline/root-a.pem --sign-key offline/root-b.pem \
  --root-key keys/root-b.pub.pem --document-key keys/doc-3.pub.pem --document-key keys/doc-2.pub.pem
same "two signature lines" 2 "$(wc -l <$root/3.root.json.sigs)"
ok "publish again keeps the chain" "$T" publish release.txt tree --key keys/doc-3.pem
ok "prune keeps the chain" "$T" prune tree
out=$("$T" root-check tree 2>&1) || fail "root-check of three roots: $out"
grep -q 'current root 3' <<<"$out" || fail "root-check names the current root: $out"

group "root-check finds broken links"
cp -r tree broken
cp $root/2.root.json.sigs broken/launcher/root/3.root.json.sigs
refused "root 3 with root 2's signatures" "root 3 lacks" "$T" root-check broken
rm -rf broken; cp -r tree broken
sed -i 's/"root_version": 3/"root_version": 4/' broken/launcher/root/3.root.json
refused "root 3 claiming version 4" "carries root_version 4" "$T" root-check broken
rm -rf broken; cp -r tree broken
# root-next makes no root that has already expired: this one is signed by hand.
ok "root 4" "$T" root-next broken --sign-key offline/root-b.pem
sed -i 's/"expires": "[^"]*"/"expires": "2020-01-01T00:00:00Z"/' broken/launcher/root/4.root.json
printf '%s %s\n' "$(id keys/root-b.pub.pem)" \
  "$(openssl dgst -sha256 -sign offline/root-b.pem broken/launcher/root/4.root.json | perl -0777 -ne 'print unpack("H*", $_)')" \
  >broken/launcher/root/4.root.json.sigs
refused "final root expired" "root 4 expired at 2020-01-01T00:00:00Z" "$T" root-check broken

group "a document threshold of two: every document carries .sigs"
ok "root 4: doc-3 and doc-2, two signatures" "$T" root-next tree --sign-key offline/root-b.pem --document-threshold 2
refused "publish with one key" "asks 2 document signatures" "$T" publish release.txt tree --key keys/doc-3.pem
refused "the same key twice" "is given twice" "$T" publish release.txt tree --key keys/doc-3.pem --key keys/doc-3.pem
refused "a key root 4 does not name" "is not a document key of the tree's root 4" \
  "$T" publish release.txt tree --key keys/doc-3.pem --key keys/stranger.pem
refused "refresh with one key" "asks 2 document signatures" "$T" refresh tree --key keys/doc-2.pem
ok "refresh with both" "$T" refresh tree --key keys/doc-2.pem --key keys/doc-3.pem
[ ! -e tree/launcher/news.json.sig ] && [ -f tree/launcher/news.json.sigs ] || fail "refresh replaced the lone .sig by .sigs"
ok "root-check after the refresh" "$T" root-check tree
ok "publish with both" "$T" publish release.txt tree --key keys/doc-3.pem --key keys/doc-2.pem
for d in launcher/catalog.json launcher/control.json games/p/manifest.json; do
  [ ! -e tree/$d.sig ] && [ -f tree/$d.sigs ] || fail "$d has .sigs and no lone .sig"
  same "$d: one line per key, naming it" "$( (id keys/doc-2.pub.pem; id keys/doc-3.pub.pem) | sort)" \
    "$(cut -d' ' -f1 tree/$d.sigs | sort)"
  for k in doc-2 doc-3; do
    cp tree/$d line.json; grep "^$(id keys/$k.pub.pem) " tree/$d.sigs | cut -d' ' -f2 >line.json.sig
    openssl_verifies keys/$k.pub.pem line.json || fail "$d: the line of $k verifies"
  done
done
[ -f tree/games/p/manifest.json.gz ] && [ ! -e tree/games/p/manifest.json.gz.sigs ] || fail "the manifest's twin stays unsigned"
ok "root-check takes the two signatures" "$T" root-check tree
rm -rf broken; cp -r tree broken
head -1 tree/launcher/news.json.sigs >broken/launcher/news.json.sigs
refused "a .sigs with one of the two" "news.json is not signed by 2 distinct document keys of root 4" "$T" root-check broken
line=$(head -1 tree/launcher/news.json.sigs); printf '%s\n%s\n' "$line" "$line" >broken/launcher/news.json.sigs
refused "a .sigs with one key twice" "news.json is not signed by 2" "$T" root-check broken

group "root-header"
ok "header of root 3" "$T" root-header $root/3.root.json root.h
printf '#include <stdio.h>\n#include "root.h"\nint main(void){fwrite(kBuiltInRoot,1,sizeof kBuiltInRoot-1,stdout);return 0;}\n' >use.c
if "${ORV_CXX:-c++}" -x c++ -o use use.c 2>/dev/null; then ./use >back.json; same_file "header bytes are the root" $root/3.root.json back.json; fi
finish
