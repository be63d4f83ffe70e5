#!/usr/bin/env bash
# The C header with the update signing modulus, compiled and compared with
# what openssl reads from the same key.
. "${ORV_TESTLIB:-$(dirname "$0")/testlib.sh}"
T=$ORV_RELEASE
CXX=${ORV_CXX:-c++}
cd "$ORV_WORK"

group "the header holds the key's modulus, big-endian, 256 bytes"
ok "keygen" "$T" keygen priv.pem pub.pem
ok "pubkey-header" "$T" pubkey-header pub.pem key.h
cat >dump.cpp <<'CPP'
#include <cstdio>
#include "key.h"
#include "key.h"  // the include guard must allow a second include
int main() {
  static_assert(sizeof kUpdateSigningModulus == 256, "modulus size");
  for (unsigned char b : kUpdateSigningModulus) std::printf("%02X", b);
  std::printf("\n");
  return 0;
}
CPP
if ok "header compiles" "$CXX" -std=c++17 -Wall -Werror -o dump dump.cpp; then
  expected=$(openssl pkey -pubin -in pub.pem -noout -text 2>/dev/null |
    sed -n '/^Modulus:/,/^Exponent:/p' | grep -v -e Modulus -e Exponent | tr -d ' :\n' |
    sed 's/^00//' | tr 'a-f' 'A-F')
  same "modulus as openssl reads it" "$expected" "$(./dump)"
  same "top bit set (a full 2048-bit modulus)" "1" "$(( 0x$(./dump | cut -c1-2) >= 128 ))"
fi
printf '#include "key.h"\nint main(void) { return kUpdateSigningModulus[0] == 0; }\n' >c_use.c
ok "header is plain C too" "$CXX" -x c -std=c99 -Wall -Werror -o c_use c_use.c

group "another key gives another header; the same key the same bytes"
cp key.h first.h
ok "pubkey-header again" "$T" pubkey-header pub.pem key.h
cmp -s key.h first.h || fail "same key, different header"
ok "other key" "$T" keygen other.pem otherpub.pem
ok "other header" "$T" pubkey-header otherpub.pem other.h
cmp -s other.h first.h && fail "two keys gave the same header"

group "keys the launcher cannot use are refused"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out big.pem 2>/dev/null
openssl pkey -in big.pem -pubout -out bigpub.pem
refused "3072-bit key" "3072-bit key; the launcher needs 2048 bits" "$T" pubkey-header bigpub.pem x.h
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -pkeyopt rsa_keygen_pubexp:3 \
  -out e3.pem 2>/dev/null
openssl pkey -in e3.pem -pubout -out e3pub.pem
refused "exponent 3" "exponent other than 65537" "$T" pubkey-header e3pub.pem x.h
refused "private key given" "not a PEM public key" "$T" pubkey-header priv.pem x.h
[ ! -e x.h ] || fail "a header was written for a refused key"

finish
