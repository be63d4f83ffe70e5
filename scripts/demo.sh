#!/usr/bin/env bash
# The main job, a player's whole journey on the local update host: build;
# install the launcher as a new player does, with the Setup in a scratch user
# profile (its window on a virtual display, driven from outside); publish a
# demo release and serve it from the local update host; run the Update Worker
# in its modes in the installed launcher's directory, as a child of a window
# (the monitor), and show what it posted, what it cached, its exit codes and
# its log; then start the Shell there, let it sync with the local host and
# show it: on the person's display when there is one, otherwise as
# screenshots of every page taken on a virtual display
# (build/demo/screenshots/*.png); a player's turn in the Shell (install,
# pause, PLAY, playtime), the diagnostics report, and at the end the launcher
# uninstalled through its uninstall entry, keeping the Game Library. The host
# is stopped at the end. Every step is logged in build/demo/logs/; the first
# one that fails ends the demo and names its log.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${ORV_DEMO_NET:-}" ]; then
  ./scripts/install-deps.sh
  ./scripts/build.sh
  # The rest in its own loopback where the machine allows it: port 443 is
  # then free for the demo's update host whatever else runs here.
  export ORV_DEMO_NET=1
  exec ./scripts/private-net build "$0" "$@"
fi

root=$PWD
. "$root/scripts/demo-lib.sh"
demo=$root/build/demo
profile=$demo/profile
install="$profile/AppData/Local/Programs/ORVELANT Launcher"
wine_run() { "$root/scripts/wine-run" "$root/build/wineprefix" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }

# This run's scratch folders start empty; the previous run's screenshots stay
# until this run has taken its own.
rm -rf "$profile" "$demo/tree"
demo_begin "$demo/logs"
# The windows' own layout tables, which the screenshot checks read.
mkdir -p "$demo"
for table in "shell:ORVELANT Launcher.exe" "setup:ORVELANT_Launcher_Setup_v1.0.0.exe"; do
  WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all wine "$root/build/tools/layout-table.exe" "${table%%:*}" \
    "$(WINEPREFIX="$root/build/wineprefix" winepath -w "$root/build/bin/${table#*:}" 2>/dev/null)" </dev/null >"$demo/${table%%:*}-layout.txt" 2>/dev/null
done
export ORV_LAYOUT_TABLE=$demo/shell-layout.txt ORV_SETUP_LAYOUT_TABLE=$demo/setup-layout.txt
setup_demo() {
  local new
  new=$(demo_fresh_dir "$demo/setup")
  # Named where they will be once complete.
  new150=$(demo_fresh_dir "$demo/screenshots-150/setup")
  scripts/demo-setup.sh "$profile" "$new" "$new150" |
    sed "s|$new150|$demo/screenshots-150/setup|g; s|$new|$demo/setup|g"
  demo_keep "$demo/setup"
  demo_keep "$demo/screenshots-150/setup"
}
demo_step "a new player runs ORVELANT_Launcher_Setup_v1.0.0.exe (scratch profile, virtual display)" setup_demo
worker=$(winpath "$install/ORVELANT Update Worker.exe")
monitor=build/tools/worker-monitor.exe

tree=$demo/tree
state=$root/build/host-state
x11=$root/build/wineprefix-x11
cleanup() {
  # The Game Library setting belongs to this demo only.
  if [ -f "$x11/.orvelant-ready" ]; then
    WINEPREFIX=$x11 WINEDEBUG=-all wine reg delete 'HKCU\Software\ORVELANT\Launcher' /v LibraryRoot /f \
      </dev/null >/dev/null 2>&1 || true
    # The Setup's steps pointed the prefix's Desktop folder into the profile.
    WINEPREFIX=$x11 WINEDEBUG=-all wine reg add \
      'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
      /v Desktop /t REG_EXPAND_SZ /d '%USERPROFILE%\Desktop' /f </dev/null >/dev/null 2>&1 || true
    WINEPREFIX=$x11 wineserver -w 2>/dev/null || true
  fi
  host/stop.sh "$state" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The publisher's side: a demo release of three sample games, signed with the
# build's development key and served by the local update host over TLS.
publish() {
  samples/make-demo-release.sh build "$tree" 1.0.0
  if [ -z "${ORVELANT_PRIVATE_NET:-}" ]; then
    # Sharing the machine's network: port 443 may be held by the test suite's host.
    "$root/host/stop.sh" "$root/build/tests/host/state" >/dev/null 2>&1 || true
  fi
  host/start.sh "$state" "$tree" localhost
  wine_run build/tools/trust-ca.exe "$(winpath "$state/certs/ca.crt")"
}
demo_step "publish the demo release and serve it from https://localhost/" publish

library=$profile/AppData/Local
mkdir -p "$library"
# worker <expected exit code> <arguments...>: the Worker as a child of a
# window (the monitor), every message it posts shown; another exit code than
# the expected one fails the step.
worker() {
  local expected=$1 rc=0
  shift
  echo "   worker $*"
  wine_run "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" "$worker" "$@" || rc=$?
  [ "$rc" = "$expected" ] || demo_fail "the Worker exited with $rc, expected $expected"
}
game_dir=$library/ORVELANT/Games/first-title
show_product() {
  echo "   $game_dir:"
  (cd "$game_dir" && find . -type f ! -name launch-record.txt -printf '     %P  %s bytes\n' | sort)
  echo "   version.json:"; sed 's/\r$//; s/^/     /' "$game_dir/version.json"
  grep -q "\"version\": \"$1\"" "$game_dir/version.json" || demo_fail "version.json does not name $1"
}

sync_and_compare() {
  worker 0 /sync "/parent:{parent}"
  echo "   cached documents against the published ones:"
  local doc same different=0
  for doc in catalog.json news.json control.json; do
    if cmp -s "$install/$doc" "$tree/launcher/$doc"; then same="identical"; else same="DIFFERENT"; different=1; fi
    echo "     $doc  $(sha256sum <"$install/$doc" | cut -c1-16)…  $same"
    build/native/orvelant-release verify build/keys/update-signing.pub.pem "$tree/launcher/$doc" | sed 's/^/       /'
  done
  [ "$different" = 0 ] || demo_fail "a cached document differs from the published one"
}
demo_step "signed sync from https://localhost/" sync_and_compare
demo_step "product job, id not in the catalog" worker 10 "/parent:{parent}" /product:unknown
install_first() { worker 0 "/parent:{parent}" /product:first-title && show_product 1.0.0; }
demo_step "install first-title 1.0.0 into the Game Library" install_first
demo_step "verify first-title (nothing to download)" worker 0 "/parent:{parent}" /product:first-title /repair
demo_step "the publisher releases first-title 1.1.0 (one file changed, one added, the middle of a large one rewritten)" \
  samples/make-demo-release.sh build "$tree" 1.1.0
# What the update took from the host, from its access log: every GET of a
# file of first-title, whole or ranged, at its content address or in place,
# with its piece list and the piece objects (and their block sums) the list
# names; small files' packs; and the documents (manifest, its twin and
# signature, the pack index), against the sizes of those files.
show_fetched() {
  local from=$1
  tail -c +"$((from + 1))" "$state/logs/access.log" | python3 -c '
import json, os, sys
tree = sys.argv[1]
base = "/games/first-title/stable/"
with open(os.path.join(tree, base[1:] + "manifest.json"), encoding="utf-8") as f:
    files = json.load(f)["files"]
owner = {}    # host path -> the file (or pack) it belongs to
for e in files:
    url = e.get("url") or base + "files/" + e["path"]
    owner[url] = owner[url + ".pieces"] = owner[url + ".pieces.sig"] = e["path"]
    try:
        with open(tree + url + ".pieces", "rb") as f:
            body = f.read()
    except OSError:
        continue
    head, records = body.split(b"\n", 1)
    root = json.loads(head).get("objects")
    for at in range(0, len(records) - 35, 36) if root else ():
        hexd = records[at + 4:at + 36].hex()
        owner[root + hexd[:2] + "/" + hexd] = owner[root + hexd[:2] + "/" + hexd + ".blocks"] = e["path"]
try:
    with open(tree + base + "manifest.json.packs", "rb") as f:
        index = f.read()
    head, rest = index.split(b"\n", 1)
    for p in range(json.loads(head)["packs"]):
        hexd = rest[p * 44:p * 44 + 32].hex()
        owner["/content/" + hexd[:2] + "/" + hexd] = "(a pack of small files)"
except (OSError, KeyError, ValueError):
    pass
for doc in ("manifest.json", "manifest.json.gz", "manifest.json.sig", "manifest.json.packs",
            "manifest.json.packs.sig"):
    owner[base + doc] = "(documents)"
size_of = {e["path"]: e.get("size", 0) for e in files}
got, answers, objects = {}, {}, {}
for line in sys.stdin:
    part = line.split()
    if len(part) < 10 or part[8] not in ("200", "206", "304") or part[6] not in owner:
        continue
    who = owner[part[6]]
    got[who] = got.get(who, 0) + int(part[9])
    answers[who] = answers.get(who, 0) + 1
    if part[6].startswith("/content/"):
        objects[who] = objects.get(who, 0) + 1
all = total = 0
for who in sorted(got):
    if who in size_of:
        size = size_of[who]
        print("     %s: fetched %d bytes of %d (%.1f %%) in %d requests, %d of them objects of the content store"
              % (who, got[who], size, 100.0 * got[who] / max(size, 1), answers[who], objects.get(who, 0)))
        total += size
    else:
        print("     %s: %d bytes in %d requests" % (who, got[who], answers[who]))
    all += got[who]
print("     in all: %d bytes fetched for changed files of %d bytes" % (all, total))
' "$tree"
}
update_first() {
  local mark
  mark=$(stat -c %s "$state/logs/access.log")
  worker 0 "/parent:{parent}" /product:first-title && show_product 1.1.0 && show_fetched "$mark"
}
demo_step "update first-title to 1.1.0" update_first
demo_step "product job, another demo game" worker 0 "/parent:{parent}" /product:second-title
demo_step "launcher self-update (control.json names no Setup yet)" worker 20 /self-update "/parent:{parent}"
demo_step "no switch at all" worker 10

show_worker_log() { sed 's/\r$//; s/^/   /' "$install/logs/updater.log"; }
demo_step "logs/updater.log" show_worker_log

# The Shell runs in the prefix that draws on an X display; it trusts the
# local host's CA there too and finds the demo's Game Library by the setting.
xwine() { WINEPREFIX=$x11 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 wine "$@" </dev/null; }
shots=$root/build/demo/screenshots
shots150=$root/build/demo/screenshots-150/shell
shell_demo() {
  scripts/wine-prefix-x11.sh "$x11"
  xwine build/tools/trust-ca.exe "$(winpath "$state/certs/ca.crt")" >/dev/null
  xwine reg add 'HKCU\Software\ORVELANT\Launcher' /v LibraryRoot /d "$(winpath "$library/ORVELANT/Games")" /f >/dev/null
  WINEPREFIX=$x11 wineserver -w
  if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
    # The person's display at 100 %, whatever the last screenshots used.
    if [ "$(cat "$x11/orv-dpi" 2>/dev/null || echo 96)" != 96 ]; then
      xwine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
      echo 96 >"$x11/orv-dpi"
      WINEPREFIX=$x11 wineserver -k || true
      WINEPREFIX=$x11 wineserver -w
    fi
    echo "   the window is open on $DISPLAY; close it to end the demo"
    (cd "$install" && xwine "ORVELANT Launcher.exe") || true
    return 0
  fi
  local new signal
  new=$(demo_fresh_dir "$shots")
  scripts/shell-screenshots.sh "$install" "$new" --sync-wait=6
  signal=$(grep -P '\t30,680,165,22\t' "$new/HOME.controls.txt" | cut -f8)
  echo "   signal label after the sync: $signal"
  python3 tests/shell/check_screenshots.py --icon "$new" | tail -n 1 | sed 's/^/   /'
  # The same pages at 150 % (144 DPI), checked against those at 100 %.
  local new150
  new150=$(demo_fresh_dir "$shots150")
  ORV_DPI=144 ORV_XVFB_SIZE=2400x1500 scripts/shell-screenshots.sh "$install" "$new150" --sync-wait=6 |
    sed "s|$new150|$shots150|g; s/^/   /"
  python3 tests/shell/check_screenshots.py --icon --reference "$new" --scale 1.5 --screen 2400x1500 \
    "$new150" | tail -n 1 | sed 's/^/   /'
  demo_keep "$shots"
  demo_keep "$shots150"
  echo "   screenshots of every page (100 % and 150 %):"
  for page in HOME STORE LIBRARY DOWNLOADS SETTINGS; do echo "     $shots/$page.png  $shots150/$page.png"; done
}
demo_step "the Shell in the install directory, syncing with https://localhost/" shell_demo
player_demo() {
  local new
  new=$(demo_fresh_dir "$demo/player")
  scripts/demo-player.sh "$install" "$library/ORVELANT/Games" "$new" | sed "s|$new|$demo/player|g"
  demo_keep "$demo/player"
}
demo_step "a player in the Shell: bandwidth cap, install from LIBRARY, pause and resume, PLAY, playtime, the Game Library moved and played from there" player_demo
demo_step "RUN DIAGNOSTICS (SETTINGS page): the report as text" scripts/demo-diagnostics.sh "$install"
show_shell_log() { sed 's/\r$//; s/^/   /' "$install/logs/launcher.log"; }
demo_step "logs/launcher.log" show_shell_log
demo_step "the player uninstalls the launcher, keeping the Game Library" scripts/demo-uninstall.sh "$profile"
echo
echo "Scratch profile: $profile (step logs in $demo/logs)"
echo "The update host is stopped on exit; to serve the demo tree again: host/start.sh build/host-state build/demo/tree"
