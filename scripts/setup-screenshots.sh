#!/usr/bin/env bash
# The Setup's window on a real (virtual) display, in a scratch user profile.
#   setup-screenshots.sh <profile-dir> <out-dir> <name> [cancel|install]
# Starts build/bin/ORVELANT_Launcher_Setup_v1.0.0.exe in the X11 Wine prefix
# on the private Xvfb with LOCALAPPDATA, APPDATA and TEMP under <profile-dir>
# (<profile-dir>/AppData/Local, .../Roaming, .../Local/Temp), waits for its
# window and writes into <out-dir>:
#   <name>.png           the Setup's outer window (frame included)
#   <name>.controls.txt  shell-driver's dump of its controls
#   <name>.outer.txt     "x y w h cw ch cx cy"
# Then "cancel" (default) clicks キャンセル; "install" clicks the primary
# button (install or update), records the completion box in <name>.box.txt
# and answers it with No (the launcher is not started). Waits for the Setup's
# exit and prints its exit code as "setup-screenshots: exit <code>".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${ORV_BUILD_DIR:-$root/build}
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: setup-screenshots.sh <profile-dir> <out-dir> <name> [cancel|install]" >&2; exit 2; }
mkdir -p "$1/AppData/Local/Temp" "$1/AppData/Roaming/Microsoft/Windows/Start Menu/Programs" "$2"
profile=$(cd "$1" && pwd)
out=$(cd "$2" && pwd)
name=$3
action=${4:-cancel}
setup="$build/bin/ORVELANT_Launcher_Setup_v1.0.0.exe"
[ -f "$setup" ] || { echo "setup-screenshots: build first (./scripts/build.sh)" >&2; exit 1; }
# The X11 prefix on the private Xvfb, one run at a time; the session's
# clean-up stops the process in $shell_pid (here the Setup).
. "$here/x11-session.sh"
[ -f "$build/tools/powershell-standin.exe" ] &&
  "$root/tests/setup/install-powershell-standin.sh" "$prefix" "$build/tools/powershell-standin.exe"

win() { printf 'Z:%s' "$1" | tr '/' '\\'; }
# The driver aimed at the Setup's window class instead of the Shell's.
drive() { wine "$driver" --class ORVELANT_LAUNCHER_SETUP_V07 "$@" </dev/null 8>&-; }

# The profile's folders reach the Setup through cmd's environment: Wine sets
# LOCALAPPDATA and APPDATA from the prefix's registry for a process started
# from Linux, and a child inherits its parent's environment.
local_dir=$(win "$profile/AppData/Local")
wine cmd /c "set LOCALAPPDATA=$local_dir&& set APPDATA=$(win "$profile/AppData/Roaming")&& set TEMP=$local_dir\\Temp&& set TMP=$local_dir\\Temp&& $(win "$setup")" \
  </dev/null >"$out/$name.log" 2>&1 8>&- &
shell_pid=$!
if ! drive wait 60000 >/dev/null; then
  echo "setup-screenshots: the Setup's window did not appear" >&2
  exit 1
fi
drive sleep 800 outer dump >"$out/$name.state"
head -n 1 "$out/$name.state" >"$out/$name.outer.txt"
tail -n +2 "$out/$name.state" >"$out/$name.controls.txt"
rm -f "$out/$name.state"
read -r x y w h _ <"$out/$name.outer.txt"
import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$name.png"
echo "setup-screenshots: $name -> $out/$name.png (window ${w}x${h} at $x,$y)"

if [ "$action" = install ]; then
  if grep -qP '^\d+\t2001\t' "$out/$name.controls.txt"; then id=2001; else id=2002; fi
  drive command "$id" >/dev/null || true
  drive box 120000 >"$out/$name.box.txt"
  drive answer 7 >/dev/null   # IDNO
else
  drive command 2004 >/dev/null 2>&1 || true   # the window may be gone before the answer
fi
code=0
wait "$shell_pid" || code=$?
shell_pid=
echo "setup-screenshots: exit $code"
