#!/usr/bin/env bash
# Makes the update host's private CA and its server certificate.
#
#   host/make-certs.sh <state-dir> [host-name]
#
# Writes <state-dir>/certs/{ca.key,ca.crt,server.key,server.crt}. The server
# certificate names the host (default localhost) and always also localhost,
# 127.0.0.1 and ::1. Idempotent: certificates that are present, valid for at
# least another day, signed by the CA and naming the host are kept.
set -euo pipefail

die() { echo "make-certs: $*" >&2; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] || die "usage: make-certs.sh <state-dir> [host-name]"
state=$1
host=${2:-localhost}
[[ $host =~ ^[a-z0-9]([a-z0-9.-]*[a-z0-9])?$ ]] ||
  die "host name \"$host\": use lower-case letters, digits, \".\" and \"-\""
command -v openssl >/dev/null || die "openssl is not installed"

certs=$state/certs
mkdir -p "$certs"
chmod 700 "$certs"
umask 077

ca_key=$certs/ca.key ca_crt=$certs/ca.crt
srv_key=$certs/server.key srv_crt=$certs/server.crt

ca_ok() {
  [ -s "$ca_key" ] && [ -s "$ca_crt" ] || return 1
  openssl x509 -in "$ca_crt" -noout -checkend 86400 >/dev/null 2>&1 || return 1
  # The key must belong to the certificate.
  [ "$(openssl x509 -in "$ca_crt" -noout -pubkey 2>/dev/null)" = \
    "$(openssl pkey -in "$ca_key" -pubout 2>/dev/null)" ]
}

server_ok() {
  [ -s "$srv_key" ] && [ -s "$srv_crt" ] || return 1
  openssl x509 -in "$srv_crt" -noout -checkend 86400 >/dev/null 2>&1 || return 1
  openssl verify -CAfile "$ca_crt" "$srv_crt" >/dev/null 2>&1 || return 1
  [ "$(openssl x509 -in "$srv_crt" -noout -pubkey 2>/dev/null)" = \
    "$(openssl pkey -in "$srv_key" -pubout 2>/dev/null)" ] || return 1
  local san
  san=$(openssl x509 -in "$srv_crt" -noout -ext subjectAltName 2>/dev/null) || return 1
  grep -q "DNS:$host\(,\|$\)" <<<"$san" && grep -q "IP Address:127.0.0.1" <<<"$san"
}

if ! ca_ok; then
  echo "make-certs: making the CA in $certs"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout "$ca_key" -out "$ca_crt" -subj "/CN=ORVELANT Update Host CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
  rm -f "$srv_crt"  # signed by the old CA, if any
fi

if ! server_ok; then
  echo "make-certs: making the server certificate for $host"
  san="DNS:$host"
  [ "$host" = localhost ] || san="$san,DNS:localhost"
  san="$san,IP:127.0.0.1,IP:::1"
  ext=$(mktemp "$certs/ext.XXXXXX")
  csr=$(mktemp "$certs/csr.XXXXXX")
  trap 'rm -f "$ext" "$csr"' EXIT
  cat >"$ext" <<EXT
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $san
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT
  openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$srv_key" -out "$csr" \
    -subj "/CN=$host" 2>/dev/null
  openssl x509 -req -in "$csr" -CA "$ca_crt" -CAkey "$ca_key" \
    -set_serial "0x1$(openssl rand -hex 15)" -days 825 -sha256 -extfile "$ext" \
    -out "$srv_crt" 2>/dev/null
  server_ok || die "the new server certificate does not verify"
fi
chmod 600 "$ca_key" "$srv_key"
chmod 644 "$ca_crt" "$srv_crt"
echo "make-certs: CA $ca_crt, server certificate $srv_crt ($host)"
