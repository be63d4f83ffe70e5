#!/usr/bin/env bash
# The shipped programs are the same bytes when built again from the same
# source in another folder, on another day (another SOURCE_DATE_EPOCH and
# time zone), with the same update signing key: the Shell, the Worker and the
# Setup compared without their Authenticode signatures. A build folder or a
# build time that leaks into a program fails it, and the PE time stamp must be
# the commit's time the build names. Also: the release tool's publish warns
# about a Setup signed with the development certificate, and only then.
#   rebuild_programs.sh <source-dir> <build-dir>
set -euo pipefail
repo=$(cd "${1:?usage: rebuild_programs.sh <source-dir> <build-dir>}" && pwd)
first=$(cd "${2:?}" && pwd)
parts() { python3 "$repo/scripts/program-parts.py" "$@"; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$first/CMakeCache.txt"; }
fail() { echo "FAIL $*"; status=1; }
status=0
shell_name="ORVELANT Launcher.exe"
worker_name="ORVELANT Update Worker.exe"
setup_name="ORVELANT_Launcher_Setup_v1.0.0.exe"
work=$first/tests/rebuild
again=$work/another/folder
rm -rf "$work"
mkdir -p "$again/source"

# The source as it is in the checkout (committed or not), without build trees.
git -C "$repo" rev-parse --show-toplevel >/dev/null 2>&1 ||
  { echo "not a git checkout: the source to build again is not known; skipped"; exit 77; }
git -C "$repo" ls-files -z --cached --others --exclude-standard |
  tar -C "$repo" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$again/source" -xf -

key=$(cached ORV_SIGNING_PUBLIC_KEY)
[ -n "$key" ] || key=$first/keys/update-signing.pub.pem
# The same root of trust (a development root is made once per build folder).
root=$(cached ORV_TRUSTED_ROOT)
[ -n "$root" ] || root=$first/keys/root-tree/launcher/root/1.root.json
epoch=$(cached ORV_BUILT_EPOCH)
# Another day and another zone for everything the second build runs.
other_day=$(( $(date +%s) - 3 * 86400 - 7 * 3600 ))
if ! env SOURCE_DATE_EPOCH=$other_day TZ=Pacific/Kiritimati \
    cmake -S "$again/source" -B "$again/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      -DORV_SIGNING_PUBLIC_KEY="$key" -DORV_TRUSTED_ROOT="$root" -DORV_UPDATE_HOST="$(cached ORV_UPDATE_HOST)" \
      -DORV_MAKER_SITE="$(cached ORV_MAKER_SITE)" -DORV_SOURCE_COMMIT="$(cached ORV_BUILT_COMMIT)" \
      -DORV_SOURCE_EPOCH="$epoch" -DORV_SETUP_CARRIES_DIR="$first/bin" \
      -DORV_PREBUILT_RELEASE_TOOL="$first/native/orvelant-release" >"$work/build.log" 2>&1 ||
   ! env SOURCE_DATE_EPOCH=$other_day TZ=Pacific/Kiritimati \
    cmake --build "$again/build" -j"$(nproc)" --target orvelant_worker orvelant_shell orvelant_setup \
      >>"$work/build.log" 2>&1; then
  tail -30 "$work/build.log"
  echo "FAIL the second build did not build"
  exit 1
fi

mkdir -p "$work/a" "$work/b"
for name in "$shell_name" "$worker_name" "$setup_name"; do
  a=$work/a/$name b=$work/b/$name
  osslsigncode remove-signature -in "$first/bin/$name" -out "$a" >/dev/null 2>&1 ||
    { fail "$name: no signature to remove in $first/bin"; continue; }
  osslsigncode remove-signature -in "$again/build/bin/$name" -out "$b" >/dev/null 2>&1 ||
    { fail "$name: no signature to remove in the second build"; continue; }
  read -r stamp_a _ < <(parts stamp "$a")
  read -r stamp_b _ < <(parts stamp "$b")
  [ "$stamp_a" = "${epoch:-0}" ] || fail "$name: PE time stamp $stamp_a, not the commit's ${epoch:-0}"
  if cmp -s "$a" "$b"; then
    echo "ok   $name: $(sha256sum <"$a" | cut -c1-64) in both folders"
    continue
  fi
  fail "$name differs between $first and $again (PE time stamps $stamp_a / $stamp_b);" \
       "first differing bytes: $(cmp -l "$a" "$b" | head -4 | awk '{printf "%d ", $1 - 1}')"
  for side in "$a" "$b"; do
    texts=$( (strings -n 6 "$side"; strings -n 6 -el "$side") || true)
    for folder in "$again" "$first" "$repo"; do
      if grep -qF "$folder" <<<"$texts"; then fail "$side holds the folder $folder"; break; fi
    done
  done
done

# A Setup signed with the development certificate is announced by publish.
tool=$first/native/orvelant-release
pub=$work/publish
mkdir -p "$pub/game"
printf 'MZ game' >"$pub/game/Game.exe"
"$tool" keygen "$pub/private.pem" "$pub/public.pem" >/dev/null
publish_warnings() {
  cat >"$pub/release.txt" <<DESC
signing_key = private.pem
[control]
installer_file = $1
[product game]
title = GAME
install_dir = game
executable = Game.exe
manifest_path = /games/game/manifest.json
folder = game
version = 1.0.0
DESC
  "$tool" publish "$pub/release.txt" "$pub/tree" 2>&1 >/dev/null | grep 'warning:' || true
}
if [ -f "$first/keys/codesign/cert.pem" ]; then
  warned=$(publish_warnings "$first/bin/$setup_name")
  grep -qF "is signed with the development certificate: not for release" <<<"$warned" ||
    fail "publish did not warn about the development-signed Setup: ${warned:-no warning}"
fi
warned=$(publish_warnings "$work/a/$setup_name")
[ -z "$warned" ] || fail "publish warned about an unsigned Setup: $warned"
exit $status
