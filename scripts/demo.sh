#!/usr/bin/env bash
# The main job, as far as the launcher exists today: build; install the
# launcher as a new player does, with the Setup in a scratch user profile
# (its window on a virtual display, driven from outside); publish a demo
# release and serve it from the local update host; run the Update Worker in
# its modes in a scratch install directory, as a child of a window (the
# monitor), and show what it posted, what it cached, its exit codes and its
# log; then start the Shell in that install directory, let it sync with the
# local host and show it: on the person's display when there is one,
# otherwise as screenshots of every page taken on a virtual display
# (build/demo/screenshots/*.png); at the end uninstall the launcher through
# its uninstall entry, keeping the Game Library. The host is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh

root=$PWD
demo=$root/build/demo
profile=$demo/profile
install="$profile/AppData/Local/Programs/ORVELANT Launcher"
wine_run() { "$root/scripts/wine-run" "$root/build/wineprefix" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }

rm -rf "$demo"
echo "== a new player runs ORVELANT_Launcher_Setup_v1.0.0.exe (scratch profile, virtual display)"
scripts/demo-setup.sh "$profile" "$demo/setup"
worker=$(winpath "$install/ORVELANT Update Worker.exe")
monitor=build/tools/worker-monitor.exe

# The publisher's side: a demo release of three sample games, signed with the
# build's development key and served by the local update host over TLS.
tree=$demo/tree
state=$root/build/host-state
samples/make-demo-release.sh build "$tree" 1.0.0
"$root/host/stop.sh" "$root/build/tests/host/state" >/dev/null 2>&1 || true  # the test suite's host
host/start.sh "$state" "$tree" localhost
x11=$root/build/wineprefix-x11
cleanup() {
  # The Game Library setting belongs to this demo only.
  if [ -f "$x11/.orvelant-ready" ]; then
    WINEPREFIX=$x11 WINEDEBUG=-all wine reg delete 'HKCU\Software\ORVELANT\Launcher' /v LibraryRoot /f \
      </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=$x11 wineserver -w 2>/dev/null || true
  fi
  host/stop.sh "$state"
}
trap cleanup EXIT
wine_run build/tools/trust-ca.exe "$(winpath "$state/certs/ca.crt")"

step() { echo; echo "== $1"; echo "   worker$2"; }
library=$profile/AppData/Local
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
echo "== the Shell in the install directory, syncing with https://localhost/"
# The Shell runs in the prefix that draws on an X display; it trusts the
# local host's CA there too and finds the demo's Game Library by the setting.
scripts/wine-prefix-x11.sh "$x11"
xwine() { WINEPREFIX=$x11 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 wine "$@" </dev/null; }
xwine build/tools/trust-ca.exe "$(winpath "$state/certs/ca.crt")" >/dev/null
xwine reg add 'HKCU\Software\ORVELANT\Launcher' /v LibraryRoot /d "$(winpath "$library/ORVELANT/Games")" /f >/dev/null
WINEPREFIX=$x11 wineserver -w
if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  echo "   the window is open on $DISPLAY; close it to end the demo"
  (cd "$install" && xwine "ORVELANT Launcher.exe") || true
else
  shots=$root/build/demo/screenshots
  scripts/shell-screenshots.sh "$install" "$shots" --sync-wait=6
  signal=$(grep -P '\t30,680,165,22\t' "$shots/HOME.controls.txt" | cut -f8)
  echo "   signal label after the sync: $signal"
  python3 tests/shell/check_screenshots.py --icon "$shots" | tail -n 1 | sed 's/^/   /'
  echo "   screenshots of every page:"
  for page in HOME STORE LIBRARY DOWNLOADS SETTINGS; do echo "     $shots/$page.png"; done
fi
echo
echo "== a player in the Shell: bandwidth cap, install from LIBRARY, pause and resume, PLAY, playtime"
scripts/demo-player.sh "$install" "$library/ORVELANT/Games" "$root/build/demo/player"
echo
echo "== RUN DIAGNOSTICS (SETTINGS page): the report as text"
scripts/demo-diagnostics.sh "$install"
echo
echo "== logs/launcher.log"
sed 's/\r$//; s/^/   /' "$install/logs/launcher.log"
echo
echo "== the player uninstalls the launcher, keeping the Game Library"
scripts/demo-uninstall.sh "$profile"
echo
echo "Scratch profile: $profile"
echo "The update host is stopped on exit; to serve the demo tree again: host/start.sh build/host-state build/demo/tree"
