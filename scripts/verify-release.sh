#!/usr/bin/env bash
# Checks that a published Setup is exactly what its source builds.
#   verify-release.sh <signed Setup.exe> [<control.json>]
# Reads from the Setup the commit it names (its version record), the update
# host and maker's site it was built for (its default texts) and the update
# signing key its Worker carries; builds that commit from this clone's history
# in a folder of its own with that key; removes the Authenticode signatures
# (osslsigncode remove-signature) from both sides and compares the Shell, the
# Worker and the Setup byte for byte. The rebuilt Setup carries the published
# signed Shell and Worker (once they are shown to be the rebuilt ones), since
# the publisher's signatures on them are part of the Setup's bytes.
# With <control.json> (its .sig beside it), also checks that the document is
# signed with that key and names this Setup.
# Prints the SHA-256 of each program on both sides and one verdict line:
# exit 0 when all three are the same, 1 when any differs or the check
# could not be made. ORV_VERIFY_DIR keeps the work folder (default: a
# temporary one, removed afterwards).
set -euo pipefail
die() { echo "verify-release: $*" >&2; echo "verdict: NOT CHECKED ($*)"; exit 1; }
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: verify-release.sh <signed Setup.exe> [<control.json>]" >&2; exit 2; }
setup=$(realpath "$1")
control=${2:+$(realpath "$2")}
repo=$(cd "$(dirname "$0")/.." && pwd)
parts() { python3 "$repo/scripts/program-parts.py" "$@"; }
for tool in osslsigncode openssl cmake git python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done
[ -f "$setup" ] || die "no file $setup"

shell_name="ORVELANT Launcher.exe"
worker_name="ORVELANT Update Worker.exe"
setup_name="ORVELANT_Launcher_Setup_v1.0.0.exe"
if [ -n "${ORV_VERIFY_DIR:-}" ]; then
  work=$ORV_VERIFY_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/orvelant-verify.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
published=$work/published carried=$work/carried
rm -rf "$published" "$carried"
mkdir -p "$published" "$carried"

setup_sha=$(sha256sum <"$setup" | cut -c1-64)
echo "Setup: $setup"
echo "  as the signed control document names it: \"installer_sha256\": \"$setup_sha\""

# What the Setup says about itself.
commit=$(parts version "$setup" SourceCommit) || die "the Setup names no commit"
[[ "$commit" =~ ^[0-9a-f]{40}$ ]] || die "the Setup names no commit (\"$commit\")"
parts resource "$setup" 10 101 "$carried/$shell_name" || die "the Setup carries no Shell"
parts resource "$setup" 10 102 "$carried/$worker_name" || die "the Setup carries no Worker"
parts resource "$setup" 10 106 "$published/launcher_config.json" || die "the Setup carries no settings"
parts resource "$setup" 10 108 "$published/catalog.json" || die "the Setup carries no catalog"
host=$(sed -n 's|.*"catalog_url": *"https://\([^/"]*\)/.*|\1|p' "$published/launcher_config.json" | head -1)
site=$(sed -n 's|.*"store_url": *"\(.*\)/business/games/".*|\1|p' "$published/catalog.json" | head -1)
[ -n "$host" ] && [ -n "$site" ] || die "the Setup's default texts name no update host or web site"
echo "  built from commit $commit for update host $host, web site $site/"

git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null ||
  git -C "$repo" fetch -q origin "$commit" 2>/dev/null || true
git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null ||
  die "commit $commit is not in this clone (git fetch the publisher's repository)"

# The source of that commit alone, in a folder of its own.
src=$work/src build=$work/build
rm -rf "$src" "$build"
mkdir -p "$src"
git -C "$repo" archive "$commit" | tar -x -C "$src"
log=$work/build.log
: >"$log"
configure() {
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DORV_UPDATE_HOST="$host" -DORV_MAKER_SITE="$site/" "$@" >>"$log" 2>&1 ||
    { tail -20 "$log" >&2; die "the commit does not configure (see $log)"; }
}
compile() {
  cmake --build "$build" -j"$(nproc)" --target "$@" >>"$log" 2>&1 ||
    { tail -40 "$log" >&2; die "the commit does not build (see $log)"; }
}

# The key: the Worker holds the key's modulus where a Worker built from the
# same commit with any other key holds that key's, so a first build with a
# key of its own shows where to read it.
configure -DORV_SIGNING_PUBLIC_KEY=
compile orvelant_worker
probe=$(openssl rsa -pubin -in "$build/keys/update-signing.pub.pem" -modulus -noout | sed 's/^Modulus=//')
offsets=$(parts find "$build/bin/$worker_name" "$probe") || die "the rebuilt Worker does not hold its key"
modulus=
for at in $offsets; do
  here=$(parts slice "$carried/$worker_name" "$at" 256) || die "the Setup's Worker is too short"
  [ -z "$modulus" ] || [ "$modulus" = "$here" ] || die "the Setup's Worker holds no single key where the commit puts it"
  modulus=$here
done
printf 'asn1=SEQUENCE:key\n[key]\nn=INTEGER:0x%s\ne=INTEGER:65537\n' "$modulus" >"$work/key.cnf"
openssl asn1parse -genconf "$work/key.cnf" -out "$work/key.der" >/dev/null &&
  openssl rsa -RSAPublicKey_in -inform DER -in "$work/key.der" -pubout -out "$work/update-signing.pub.pem" 2>/dev/null ||
  die "the Setup's Worker holds no usable key"
echo "  update signing key (SHA-256 of its modulus): $(printf '%s' "$modulus" | xxd -r -p | sha256sum | cut -c1-64)"

if [ -n "$control" ]; then
  [ -f "$control.sig" ] || die "no $control.sig"
  tr -d ' \t\r\n' <"$control.sig" | xxd -r -p >"$work/control.sig.bin"
  openssl dgst -sha256 -verify "$work/update-signing.pub.pem" -signature "$work/control.sig.bin" \
    "$control" >/dev/null 2>&1 || die "$control is not signed with the Worker's key"
  named=$(sed -n 's/.*"installer_sha256": *"\([0-9A-Fa-f]*\)".*/\1/p' "$control" | head -1)
  [ "${named,,}" = "$setup_sha" ] || die "$control names another Setup (${named:-none})"
  echo "  $control: signed with that key, names this Setup"
fi

# The root of trust the Setup carries is the one its build embedded (a Setup
# from before the root of trust carries none).
root_option=()
if parts resource "$setup" 10 113 "$work/root.json" 2>/dev/null; then
  root_option=(-DORV_TRUSTED_ROOT="$work/root.json")
  echo "  root of trust: $(sed -n 's/.*"root_version": *\([0-9]*\).*/root \1/p' "$work/root.json" | head -1)"
fi

# The build with the publisher's key; its Setup carries the published Shell
# and Worker (they are compared below).
configure -DORV_SIGNING_PUBLIC_KEY="$work/update-signing.pub.pem" -DORV_SETUP_CARRIES_DIR="$carried" \
  "${root_option[@]}"
compile orvelant_worker orvelant_shell orvelant_setup

unsigned() {
  rm -f "$2"
  osslsigncode remove-signature -in "$1" -out "$2" >/dev/null 2>&1 || die "no signature to remove from $1"
}
mkdir -p "$published/unsigned" "$build/unsigned"
unsigned "$carried/$shell_name" "$published/unsigned/$shell_name"
unsigned "$carried/$worker_name" "$published/unsigned/$worker_name"
unsigned "$setup" "$published/unsigned/$setup_name"
for name in "$shell_name" "$worker_name" "$setup_name"; do
  unsigned "$build/bin/$name" "$build/unsigned/$name"
done

echo "SHA-256 without signatures (published / rebuilt):"
differ=()
for name in "$shell_name" "$worker_name" "$setup_name"; do
  a=$(sha256sum <"$published/unsigned/$name" | cut -c1-64)
  b=$(sha256sum <"$build/unsigned/$name" | cut -c1-64)
  mark=same
  [ "$a" = "$b" ] || { mark=DIFFERS; differ+=("$name"); }
  printf '  %-36s %s\n  %-36s %s  %s\n' "$name" "$a" "" "$b" "$mark"
done
if [ ${#differ[@]} -eq 0 ]; then
  echo "verdict: REPRODUCED: the Setup, the Shell and the Worker are what commit $commit builds"
  exit 0
fi
echo "verdict: DIFFERENT: $(IFS=,; echo "${differ[*]}") not what commit $commit builds"
exit 1
