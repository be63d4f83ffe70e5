#!/usr/bin/env bash
# The demo's last step for the player: the Shell in the demo install
# directory, once its start-up sync is over, gets RUN DIAGNOSTICS on its
# SETTINGS page (the click shell-driver posts); the report it writes
# (UTF-16 with a byte-order mark) is printed here as text.
#   demo-diagnostics.sh <install-dir> <game-library-root>
# Runs in the build's headless prefix, whose server it stops at the end (that
# also ends the viewer the Shell opened the report in).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
install=$(cd "${1:?install dir}" && pwd)
library=${2:?game library root}
prefix=$root/build/wineprefix
driver=$root/build/tools/shell-driver.exe
winpath() { echo "Z:${1//\//\\}"; }
"$root/scripts/wine-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
key='HKCU\Software\ORVELANT\Launcher'
cleanup() {
  wine reg delete "$key" /v LibraryRoot /f </dev/null >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
trap cleanup EXIT
wine reg add "$key" /v LibraryRoot /d "$(winpath "$library")" /f </dev/null >/dev/null
(cd "$install" && exec wine "ORVELANT Launcher.exe" </dev/null >/dev/null 2>&1) &
wine "$driver" wait 30000 </dev/null >/dev/null
# The report says SYNCING while the start-up sync runs: give it time to end.
for _ in $(seq 1 40); do
  signal=$(wine "$driver" dump </dev/null | grep -P '\t30,680,165,22\t' | cut -f8 || true)
  [ "$signal" != "SIGNAL // SYNCING" ] && break
  sleep 0.5
done
report=$install/logs/diagnostics.txt
rm -f "$report"
wine "$driver" command 1005 command 1405 sleep 1500 </dev/null >/dev/null
[ -f "$report" ] || { echo "   no report was written"; exit 1; }
echo "   $report ($(stat -c %s "$report") bytes, UTF-16 LE, starts with $(head -c 2 "$report" | od -An -tx1 | tr -d ' ')):"
iconv -f UTF-16 -t UTF-8 "$report" | sed 's/\r$//; s/^/     /'
wine "$driver" close </dev/null >/dev/null || true
