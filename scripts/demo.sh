#!/usr/bin/env bash
# The main job, as far as the launcher exists today: build; publish a demo
# release and serve it from the local update host; then run the Update Worker
# in its modes in a scratch install directory, as a child of a window (the
# monitor stands in for the Shell), and show what it posted, what it cached,
# its exit codes and its log. The host is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh

root=$PWD
demo=$root/build/demo
install=$demo/install
wine_run() { "$root/scripts/wine-run" "$root/build/wineprefix" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }

rm -rf "$demo"
mkdir -p "$install"
cp "build/bin/ORVELANT Update Worker.exe" "$install/"
worker=$(winpath "$install/ORVELANT Update Worker.exe")
monitor=build/tools/worker-monitor.exe

# The publisher's side: a demo release of three sample games, signed with the
# build's development key and served by the local update host over TLS.
tree=$demo/tree
state=$root/build/host-state
samples/make-demo-release.sh build "$tree" 1.0.0
"$root/host/stop.sh" "$root/build/tests/host/state" >/dev/null 2>&1 || true  # the test suite's host
host/start.sh "$state" "$tree" localhost
trap 'host/stop.sh "$state"' EXIT
wine_run build/tools/trust-ca.exe "$(winpath "$state/certs/ca.crt")"

step() { echo; echo "== $1"; echo "   worker$2"; }
library=$demo/localappdata
mkdir -p "$library"
run() { wine_run "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" "$worker" "$@" || true; }
game_dir=$library/ORVELANT/Games/first-title
show_product() {
  echo "   $game_dir:"
  (cd "$game_dir" && find . -type f ! -name launch-record.txt -printf '     %P  %s bytes\n' | sort)
  echo "   version.json:"; sed 's/\r$//; s/^/     /' "$game_dir/version.json"
}

step "signed sync from https://localhost/" " /sync /parent:<window>"
run /sync "/parent:{parent}"
echo "   cached documents against the published ones:"
for doc in catalog.json news.json control.json; do
  if cmp -s "$install/$doc" "$tree/launcher/$doc"; then same="identical"; else same="DIFFERENT"; fi
  echo "     $doc  $(sha256sum <"$install/$doc" | cut -c1-16)…  $same"
  build/native/orvelant-release verify build/keys/update-signing.pub.pem "$tree/launcher/$doc" | sed 's/^/       /'
done

step "product job, id not in the catalog" " /parent:<window> /product:unknown"
run "/parent:{parent}" /product:unknown
step "install first-title 1.0.0 into the Game Library" " /parent:<window> /product:first-title"
run "/parent:{parent}" /product:first-title
show_product
step "verify first-title (nothing to download)" " /parent:<window> /product:first-title /repair"
run "/parent:{parent}" /product:first-title /repair

echo; echo "== the publisher releases first-title 1.1.0 (one file changed, one added)"
samples/make-demo-release.sh build "$tree" 1.1.0
step "update first-title to 1.1.0" " /parent:<window> /product:first-title"
run "/parent:{parent}" /product:first-title
show_product
step "product job, other demo games" " /parent:<window> /product:second-title"
run "/parent:{parent}" /product:second-title
step "launcher self-update (control.json names no Setup yet)" " /self-update /parent:<window>"
run /self-update "/parent:{parent}"
step "no switch at all" ""
run

echo
echo "== logs/updater.log"
sed 's/\r$//; s/^/   /' "$install/logs/updater.log"
echo
echo "Scratch install directory: $install"
echo "The update host is stopped on exit; to serve the demo tree again: host/start.sh build/host-state build/demo/tree"
