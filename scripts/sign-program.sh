#!/usr/bin/env bash
# Signs a built Windows program with Authenticode, in place.
#   sign-program.sh <program.exe> pem <certificate.pem> <key.pem>
#   sign-program.sh <program.exe> pkcs12 <bundle.p12> [<password-file>]
# The signature names the product and the maker's site; the result is checked
# with osslsigncode before it replaces the program.
set -euo pipefail
die() { echo "sign-program: $*" >&2; exit 1; }
[ $# -ge 3 ] || die "usage: sign-program.sh <program.exe> pem <cert> <key> | pkcs12 <p12> [<password-file>]"
exe=$1 kind=$2
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (apt-get install osslsigncode)"
case $kind in
  pem) [ $# -eq 4 ] || die "pem needs <certificate.pem> <key.pem>"
       credentials=(-certs "$3" -key "$4") ;;
  pkcs12) credentials=(-pkcs12 "$3")
          [ $# -ge 4 ] && [ -n "$4" ] && credentials+=(-readpass "$4") ;;
  *) die "unknown credential kind \"$kind\"" ;;
esac
signed=$exe.signing-$$
rm -f "$signed"
trap 'rm -f "$signed"' EXIT
osslsigncode sign "${credentials[@]}" -h sha256 -n "ORVELANT Launcher" \
  -i "${ORV_SIGN_URL:-https://www.orvelant.example/}" -in "$exe" -out "$signed" >/dev/null ||
  die "osslsigncode could not sign $exe"
# The digest the signature carries must be the program's own (the chain is
# the tests' and the publisher's matter: a development certificate has none).
report=$(osslsigncode verify -in "$signed" 2>/dev/null || true)
printf '%s\n' "$report" | awk '
  /Current message digest/ { c = $NF } /Calculated message digest/ { k = $NF }
  END { exit !(c != "" && c == k) }' || die "the signed copy of $exe does not verify"
mv -f "$signed" "$exe"
