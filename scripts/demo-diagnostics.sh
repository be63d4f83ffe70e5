#!/usr/bin/env bash
# The demo's last step for the player: the Shell in the demo install
# directory, once its start-up sync is over, gets RUN DIAGNOSTICS on its
# SETTINGS page (the click shell-driver posts); the report it writes
# (UTF-16 with a byte-order mark) is printed here as text.
#   demo-diagnostics.sh <install-dir>
# Runs in the session of the player's steps (build/wineprefix-x11, whose
# settings key names the demo's Game Library, on the private virtual
# display); the session's end stops the prefix's server, which also ends the
# viewer the Shell opened the report in.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${ORV_BUILD_DIR:-$root/build}
[ $# -eq 1 ] || { echo "usage: demo-diagnostics.sh <install-dir>" >&2; exit 2; }
install=$(cd "$1" && pwd)
. "$here/x11-session.sh"

(cd "$install" && exec wine "ORVELANT Launcher.exe" </dev/null >/dev/null 2>&1 8>&-) &
shell_pid=$!
drive wait 30000 >/dev/null
# The report says SYNCING while the start-up sync runs: give it time to end.
for _ in $(seq 1 40); do
  signal=$(drive dump | awk -F'\t' '$6 == "30,680,165,22" { print $8; exit }')
  [ "$signal" != "SIGNAL // SYNCING" ] && break
  sleep 0.5
done
report=$install/logs/diagnostics.txt
rm -f "$report"
drive command 1005 command 1405 sleep 1500 >/dev/null
[ -f "$report" ] || { echo "   no report was written" >&2; exit 1; }
echo "   $report ($(stat -c %s "$report") bytes, UTF-16 LE, first bytes $(head -c 2 "$report" | od -An -tx1 | tr -s ' ' | sed 's/^ //')):"
iconv -f UTF-16 -t UTF-8 "$report" | sed 's/\r$//; s/^/     /'
drive close >/dev/null || true
