#!/usr/bin/env bash
# The update host's CA and server certificate: names, trust chain, file modes,
# and that a second run keeps what is still good.
. "${ORV_TESTLIB:?ORV_TESTLIB must name release/tests/testlib.sh}"
H=${ORV_HOST_DIR:?}
cd "$ORV_WORK"
C=state/certs

group "a CA and a server certificate for localhost"
ok "make-certs" "$H/make-certs.sh" state
for f in ca.key ca.crt server.key server.crt; do [ -s "$C/$f" ] || fail "missing $f"; done
ok "server certificate chains to the CA" openssl verify -CAfile $C/ca.crt $C/server.crt
ok "server certificate is for TLS servers" \
  openssl verify -purpose sslserver -CAfile $C/ca.crt $C/server.crt
san=$(openssl x509 -in $C/server.crt -noout -ext subjectAltName)
for name in "DNS:localhost" "IP Address:127.0.0.1" "IP Address:0:0:0:0:0:0:0:1"; do
  grep -qF "$name" <<<"$san" || fail "subjectAltName lacks $name: $san"
done
ok "names localhost" openssl x509 -in $C/server.crt -noout -checkhost localhost
ok "names 127.0.0.1" openssl x509 -in $C/server.crt -noout -checkip 127.0.0.1
ok "names ::1" openssl x509 -in $C/server.crt -noout -checkip ::1
openssl x509 -in $C/server.crt -noout -checkhost other.example | grep -q "does NOT match" ||
  fail "certificate also claims other.example"
same "CA key mode" "600" "$(stat -c %a $C/ca.key)"
same "server key mode" "600" "$(stat -c %a $C/server.key)"
same "server key belongs to the certificate" "$(openssl x509 -in $C/server.crt -noout -pubkey)" \
  "$(openssl pkey -in $C/server.key -pubout)"

group "a second run keeps valid certificates"
sums=$(sha256sum $C/*)
ok "make-certs again" "$H/make-certs.sh" state
same "files unchanged" "$sums" "$(sha256sum $C/*)"

group "another host name gets a new server certificate under the same CA"
ca=$(sha256sum $C/ca.crt)
ok "make-certs for updates.example" "$H/make-certs.sh" state updates.example
same "CA kept" "$ca" "$(sha256sum $C/ca.crt)"
ok "names updates.example" openssl x509 -in $C/server.crt -noout -checkhost updates.example
ok "still names localhost" openssl x509 -in $C/server.crt -noout -checkhost localhost
ok "chains to the kept CA" openssl verify -CAfile $C/ca.crt $C/server.crt

group "damaged files are remade"
printf 'garbage' >$C/server.crt
ok "make-certs after damage" "$H/make-certs.sh" state
ok "repaired certificate chains" openssl verify -CAfile $C/ca.crt $C/server.crt
rm $C/ca.key
ok "make-certs without the CA key" "$H/make-certs.sh" state
ok "new CA and a server certificate under it" openssl verify -CAfile $C/ca.crt $C/server.crt
same "new CA key belongs to the CA" "$(openssl x509 -in $C/ca.crt -noout -pubkey)" \
  "$(openssl pkey -in $C/ca.key -pubout)"

group "bad host names are refused"
refused "upper case" "host name \"Local\"" "$H/make-certs.sh" state Local
refused "blank" "host name" "$H/make-certs.sh" state "a b"
refused "no state dir" "usage" "$H/make-certs.sh"

finish
