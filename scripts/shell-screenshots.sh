#!/usr/bin/env bash
# Screenshots of every page of the Shell on a real (virtual) display.
#   shell-screenshots.sh <install-dir> <out-dir> [--sync-wait[=seconds]]
# Starts "<install-dir>/ORVELANT Launcher.exe" in the X11 Wine prefix
# (build/wineprefix-x11) on a private Xvfb, waits for its window, and for
# each page clicks its navigation entry and writes into <out-dir>:
#   <page>.png           the Shell's outer window (frame included)
#   <page>.controls.txt  shell-driver's dump of its controls at that moment
#   <page>.outer.txt     "x y w h cw ch cx cy": outer rectangle, client size
#                        and client origin on the screen
# plus shell.log (the Shell's output) and messageboxes.txt (any message box
# that was open, answered with OK). --sync-wait gives the Shell's start-up
# sync time first (default 5 s). Then closes the Shell and stops what it
# started. Needs build/tools/shell-driver.exe (./scripts/build.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${ORV_BUILD_DIR:-$root/build}
usage() { echo "usage: shell-screenshots.sh <install-dir> <out-dir> [--sync-wait[=seconds]]" >&2; exit 2; }
[ $# -ge 2 ] && [ $# -le 3 ] || usage
install=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
sync_wait=0
case ${3-} in
"") ;;
--sync-wait) sync_wait=5 ;;
--sync-wait=*) sync_wait=${3#--sync-wait=} ;;
*) usage ;;
esac

shell="$install/ORVELANT Launcher.exe"
[ -f "$shell" ] || { echo "shell-screenshots: no $shell" >&2; exit 1; }
. "$here/x11-session.sh"

: >"$out/messageboxes.txt"
answer_boxes() {   # records and answers any box the Shell has open
  local text
  while text=$(drive box "${1:-200}" 2>/dev/null); do
    echo "shell-screenshots: message box open ($2): $(echo "$text" | tr '\n' '|')" >&2
    printf '%s\t%s\n' "$2" "$(echo "$text" | tr '\n' '\t')" >>"$out/messageboxes.txt"
    drive answer >/dev/null || break
  done
}

(cd "$install" && exec wine "$shell") </dev/null >"$out/shell.log" 2>&1 8>&- &
shell_pid=$!
if ! drive wait 60000 >/dev/null; then
  echo "shell-screenshots: the Shell's window did not appear; its output:" >&2
  cat "$out/shell.log" >&2
  exit 1
fi
[ "$sync_wait" != 0 ] && sleep "$sync_wait"
answer_boxes 1000 start

pages=(HOME:1001 STORE:1002 LIBRARY:1003 DOWNLOADS:1004 SETTINGS:1005)
for entry in "${pages[@]}"; do
  page=${entry%%:*}
  id=${entry#*:}
  # Click, let the Shell paint, then read its geometry and controls.
  drive command "$id" sleep 600 outer dump >"$out/$page.state"
  answer_boxes 200 "$page"
  head -n 1 "$out/$page.state" >"$out/$page.outer.txt"
  tail -n +2 "$out/$page.state" >"$out/$page.controls.txt"
  rm -f "$out/$page.state"
  read -r x y w h _ <"$out/$page.outer.txt"
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$page.png"
  echo "shell-screenshots: $page -> $out/$page.png (window ${w}x${h} at $x,$y)"
done

if ! drive close; then
  echo "shell-screenshots: the Shell did not close on WM_CLOSE" >&2
  exit 1
fi
for _ in $(seq 1 100); do
  kill -0 "$shell_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$shell_pid" 2>/dev/null; then
  echo "shell-screenshots: the Shell's process did not end after its window closed" >&2
  exit 1
fi
wait "$shell_pid" || echo "shell-screenshots: the Shell exited with code $?" >&2
shell_pid=
