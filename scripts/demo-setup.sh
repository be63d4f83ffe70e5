#!/usr/bin/env bash
# The demo's first step, as a new player starts: the Setup in a scratch user
# profile, its window on a virtual display driven from outside. The
# new-install window is saved and its install button clicked (the completion
# box answered No); then the Setup runs again, shows the update/reinstall
# choice of the existing installation, which is saved and cancelled. Prints
# what was installed, the uninstall entry and the shortcuts. With a third
# directory the update/reinstall choice is also saved there at 150 % (144 DPI).
#   demo-setup.sh <profile-dir> <out-dir> [<out-dir-150>]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: demo-setup.sh <profile-dir> <out-dir> [<out-dir-150>]" >&2; exit 2; }
mkdir -p "$1/Desktop" "$2"
profile=$(cd "$1" && pwd)
out=$(cd "$2" && pwd)
install="$profile/AppData/Local/Programs/ORVELANT Launcher"
prefix=$root/build/wineprefix-x11
xwine() { WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 wine "$@" </dev/null; }
win() { printf 'Z:%s' "$1" | tr '/' '\\'; }

"$here/wine-prefix-x11.sh" "$prefix"
# The profile's Desktop folder, for the Desktop shortcut.
xwine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v Desktop /t REG_EXPAND_SZ /d "$(win "$profile/Desktop")" /f >/dev/null
WINEPREFIX=$prefix wineserver -w

echo "   the Setup, new install: window saved, インストール clicked, completion box answered No"
"$here/setup-screenshots.sh" "$profile" "$out" new install | sed 's/^/   /'
echo "   completion box: $(tr '\n' ' ' <"$out/new.box.txt")"
echo "   the Setup again, existing installation: window saved, キャンセル clicked"
"$here/setup-screenshots.sh" "$profile" "$out" existing cancel | sed 's/^/   /'
for variant in new existing; do
  python3 "$root/tests/setup/check_setup_screenshot.py" "$out" "$variant" "$variant" "$root/assets" ||
    exit 1
  echo "   $out/$variant.png: pixel checks passed"
done
if [ $# -eq 3 ]; then
  mkdir -p "$3"
  out150=$(cd "$3" && pwd)
  echo "   the Setup again at 150 % (144 DPI): window saved, キャンセル clicked"
  ORV_DPI=144 ORV_XVFB_SIZE=2400x1500 "$here/setup-screenshots.sh" "$profile" "$out150" existing cancel |
    sed 's/^/   /'
  python3 "$root/tests/setup/check_setup_screenshot.py" --scale 1.5 "$out" "$out150" existing existing \
    "$root/assets" || exit 1
  echo "   $out150/existing.png: pixel checks at 150 % passed"
fi
echo "   installed into $install:"
(cd "$install" && find . -mindepth 1 -printf '     %P%y %s\n' | sed 's/d [0-9]*$/\//; s/f \([0-9]*\)$/  \1 bytes/' | sort)
for exe in "ORVELANT Launcher.exe" "ORVELANT Update Worker.exe"; do
  cmp -s "$install/$exe" "$root/build/bin/$exe" && echo "   $exe: the build's program byte for byte"
done
echo "   uninstall entry (HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ORVELANT Launcher):"
xwine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ORVELANT Launcher' |
  tr -d '\r' | grep REG_ | sed 's/^ */     /'
for _ in $(seq 1 50); do
  [ -f "$profile/Desktop/ORVELANT Launcher.lnk" ] &&
    [ -f "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/ORVELANT Launcher.lnk" ] && break
  sleep 0.2
done
echo "   shortcuts:"
ls -l "$profile/Desktop/ORVELANT Launcher.lnk" \
  "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/ORVELANT Launcher.lnk" 2>&1 | sed 's/^/     /'
WINEPREFIX=$prefix wineserver -w
