#!/usr/bin/env bash
# Creates (once) a Wine prefix that draws on a real X display, for
# screenshots: the X11 graphics driver, Japanese fonts mapped, no Mono/Gecko
# prompts, no crash dialog. Wine draws the window frames itself and places
# every window exactly where the program asks (there is no window manager on
# our Xvfb to do either). Never touches ~/.wine. Safe to call concurrently.
# Programs run in it need DISPLAY set to an X server (scripts/xvfb-display.sh).
#   wine-prefix-x11.sh <prefix-dir>
set -euo pipefail
prefix=${1:?usage: wine-prefix-x11.sh <prefix-dir>}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
[ -f "$prefix/.orvelant-x11-ready" ] && exit 0

exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.orvelant-x11-ready" ] && exit 0

echo "wine-prefix-x11: creating $prefix" >&2
wineboot --init >/dev/null 2>&1 </dev/null 9>&-
wineserver -w
reg() { wine reg add "$@" /f >/dev/null 2>&1 </dev/null 9>&-; }
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d x11
# Frames drawn by Wine, windows not handed to a window manager: the outer
# rectangle on the screen is exactly the one the program sets.
reg 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N
reg 'HKCU\Software\Wine\X11 Driver' /v Managed /d N
for face in "Yu Gothic UI" "Yu Mincho" "Segoe UI"; do
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "Noto Sans CJK JP"
done
# The serif of the wordmark and the page titles.
reg 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /d "Noto Serif CJK JP"
# No crash dialog: a faulting program just ends.
reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
wineserver -k || true
wineserver -w || true
touch "$prefix/.orvelant-x11-ready"
