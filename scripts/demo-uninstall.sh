#!/usr/bin/env bash
# The demo's last step: the launcher uninstalled through its uninstall entry
# ("Uninstall.exe" /uninstall) in the demo's scratch profile, the questions
# answered from outside (Yes: uninstall; No: keep the Game Library), then
# what was removed and what was kept.
#   demo-uninstall.sh <profile-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ $# -eq 1 ] || { echo "usage: demo-uninstall.sh <profile-dir>" >&2; exit 2; }
profile=$(cd "$1" && pwd)
local_dir=$profile/AppData/Local
install="$local_dir/Programs/ORVELANT Launcher"
library=$local_dir/ORVELANT/Games
links=("$profile/Desktop/ORVELANT Launcher.lnk"
       "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/ORVELANT Launcher.lnk")
prefix=$root/build/wineprefix-x11
driver=$root/build/tools/shell-driver.exe
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
win() { printf 'Z:%s' "$1" | tr '/' '\\'; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORVELANT Launcher'

command=$(wine reg query "$key" /v UninstallString </dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
echo "   UninstallString: $command"
# The boxes need a display; they have no owner window, so the driver finds
# them by their caption.
state=$root/build/xvfb-screenshots
exec 8>"$prefix.run.lock"
flock 8
DISPLAY=$("$here/xvfb-display.sh" start "$state")
export DISPLAY
trap '"$here/xvfb-display.sh" stop "$state" || true' EXIT
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
drive() { wine "$driver" --class ORVELANT_LAUNCHER_SETUP_V07 "$@" </dev/null 8>&-; }
# The entry's command as Windows would run it, in the profile's environment
# (a batch file keeps its quotes intact).
printf 'set LOCALAPPDATA=%s\r\nset APPDATA=%s\r\n%s\r\n' "$(win "$local_dir")" \
  "$(win "$profile/AppData/Roaming")" "$command" >"$profile/uninstall.bat"
wine cmd /c "$(win "$profile/uninstall.bat")" </dev/null >/dev/null 2>&1 8>&- &
uninstaller=$!
for answer in 6 7 1; do   # IDYES, IDNO, IDOK
  text=$(drive box 30000) || { echo "   no box from the uninstall" >&2; break; }
  echo "   box: $(tr '\n' ' ' <<<"$text")"
  drive answer "$answer" >/dev/null
  echo "     answered $([ $answer = 6 ] && echo Yes || { [ $answer = 7 ] && echo No || echo OK; })"
done
wait "$uninstaller" && echo "   Uninstall.exe ended with 0"
for _ in $(seq 1 50); do [ -d "$install" ] || break; sleep 0.2; done
echo "   removed:"
[ -d "$install" ] || echo "     $install (the whole install directory)"
for link in "${links[@]}"; do [ -f "$link" ] || echo "     $link"; done
wine reg query "$key" </dev/null >/dev/null 2>&1 || echo "     the uninstall entry"
echo "   kept:"
[ -d "$library" ] && (cd "$library" && find . -mindepth 1 -maxdepth 1 -printf "     $library/%P\n")
wine reg query 'HKCU\Software\ORVELANT\Launcher' </dev/null 2>/dev/null | tr -d '\r' | grep REG_ |
  sed 's/^ */     settings: /' || true
rm -f "$profile/uninstall.bat"
wineserver -w
