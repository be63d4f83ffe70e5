#!/usr/bin/env bash
# Key pairs, detached signatures and their check, against openssl's own verifier.
. "${ORV_TESTLIB:-$(dirname "$0")/testlib.sh}"
T=$ORV_RELEASE
cd "$ORV_WORK"

group "keygen makes an RSA 2048 / 65537 pair, private key 0600"
ok "keygen" "$T" keygen priv.pem pub.pem
same "private key mode" "600" "$(stat -c %a priv.pem)"
openssl pkey -in priv.pem -noout -text 2>/dev/null | grep -q "Private-Key: (2048 bit" ||
  fail "private key is not 2048-bit"
openssl pkey -in priv.pem -noout -text 2>/dev/null | grep -q "publicExponent: 65537" ||
  fail "public exponent is not 65537"
same "public key is the private key's half" "$(openssl pkey -in priv.pem -pubout)" "$(cat pub.pem)"

group "keygen never overwrites a private key without --force"
before=$(sha256sum priv.pem)
refused "second keygen" "refusing to overwrite a private key" "$T" keygen priv.pem pub2.pem
same "private key unchanged" "$before" "$(sha256sum priv.pem)"
[ ! -e pub2.pem ] || fail "a public key was written although keygen refused"
cp priv.pem old.pem
ok "keygen --force" "$T" keygen priv.pem pub.pem --force
cmp -s priv.pem old.pem && fail "--force did not make a new key"
same "forced key mode" "600" "$(stat -c %a priv.pem)"

group "sign writes 512 lowercase hex digits that openssl verifies"
printf '{\r\n  "schema": 1,\r\n  "items": []\r\n}\r\n' >news.json
ok "sign" "$T" sign priv.pem news.json
same "signature file size" "513" "$(stat -c %s news.json.sig)"
grep -Eq '^[0-9a-f]{512}$' news.json.sig || fail "signature is not 512 lowercase hex digits"
same "signature lines" "1" "$(wc -l <news.json.sig)"
openssl_verifies pub.pem news.json || fail "openssl does not verify the signature"
ok "tool verifies" "$T" verify pub.pem news.json
first=$(cat news.json.sig)
ok "sign again" "$T" sign priv.pem news.json
same "PKCS#1 v1.5 signatures are deterministic" "$first" "$(cat news.json.sig)"
: >empty.json
ok "sign empty document" "$T" sign priv.pem empty.json
openssl_verifies pub.pem empty.json || fail "openssl does not verify the empty document's signature"

group "any change to the document or the key fails"
cp news.json changed.json
cp news.json.sig changed.json.sig
printf '\x7b' | dd of=changed.json bs=1 seek=5 conv=notrunc 2>/dev/null
openssl_verifies pub.pem changed.json && fail "openssl accepts a changed byte"
refused "tool, changed byte" "signature does not match" "$T" verify pub.pem changed.json
cp news.json newline.json
cp news.json.sig newline.json.sig
printf '\n' >>newline.json
openssl_verifies pub.pem newline.json && fail "openssl accepts an added newline"
refused "tool, added newline" "signature does not match" "$T" verify pub.pem newline.json
ok "other key" "$T" keygen other.pem otherpub.pem
refused "tool, other key" "signature does not match" "$T" verify otherpub.pem news.json
openssl_verifies otherpub.pem news.json && fail "openssl accepts the signature under another key"

group "verify reads the signature as the launcher does"
cp news.json split.json
fold -w 64 news.json.sig | sed 's/$/\r/' >split.json.sig
ok "CR LF split signature" "$T" verify pub.pem split.json
cp news.json upper.json
tr 'a-f' 'A-F' <news.json.sig >upper.json.sig
ok "upper-case signature" "$T" verify pub.pem upper.json
cp news.json short.json
head -c 510 news.json.sig >short.json.sig
refused "510 digits" "not 512 hexadecimal digits" "$T" verify pub.pem short.json
cp news.json long.json
{ head -c 512 news.json.sig; printf '00\n'; } >long.json.sig
refused "514 digits" "not 512 hexadecimal digits" "$T" verify pub.pem long.json
cp news.json bom.json
{ printf '\xef\xbb\xbf'; cat news.json.sig; } >bom.json.sig
refused "byte-order mark" "not 512 hexadecimal digits" "$T" verify pub.pem bom.json
cp news.json odd.json
{ head -c 511 news.json.sig; } >odd.json.sig
refused "odd digit count" "not 512 hexadecimal digits" "$T" verify pub.pem odd.json
refused "missing signature" "cannot open" "$T" verify pub.pem empty2.json

group "only keys the launcher can check are used"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out small.pem 2>/dev/null
refused "1024-bit key" "1024-bit key; the launcher needs 2048 bits" "$T" sign small.pem news.json
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -pkeyopt rsa_keygen_pubexp:3 \
  -out e3.pem 2>/dev/null
refused "exponent 3" "exponent other than 65537" "$T" sign e3.pem news.json
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem 2>/dev/null
refused "EC key" "not an RSA key" "$T" sign ec.pem news.json
refused "public key as signing key" "not a PEM private key" "$T" sign pub.pem news.json
refused "missing document" "cannot open" "$T" sign priv.pem nothere.json

group "command line"
"$T" >/dev/null 2>&1
same "no command" "2" "$?"
"$T" frobnicate >/dev/null 2>&1
same "unknown command" "2" "$?"
"$T" sign priv.pem >/dev/null 2>&1
same "missing argument" "2" "$?"
"$T" --help | grep -q "publish <release-description> <out-dir>" || fail "--help lacks publish"
"$T" manifest --help | grep -q "keygen" || fail "<command> --help prints the usage"

finish
