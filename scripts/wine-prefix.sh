#!/usr/bin/env bash
# Creates (once) one of the project's own Wine prefixes, with Japanese fonts
# mapped and no Mono/Gecko prompts or crash dialogs. Never touches ~/.wine.
# Safe to call concurrently.
#   wine-prefix.sh <prefix-dir> [null|x11]
# null (default): headless, the null graphics driver; windows and messages
#   work without any display.
# x11: draws on an X display (DISPLAY, see scripts/xvfb-display.sh); Wine
#   draws the window frames itself and places every window exactly where the
#   program asks (there is no window manager on our Xvfb to do either).
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh <prefix-dir> [null|x11]}
graphics=${2:-null}
case $graphics in null|x11) ;; *) echo "wine-prefix: unknown graphics driver $graphics" >&2; exit 2 ;; esac
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
ready=$prefix/.orvelant-ready

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64

# The caption buttons are glyphs of Wine's Marlett (Debian's fonts-wine). This
# Wine does not find the fonts of its own data folder, but it loads every font
# in the prefix's Fonts folder: a copy there (also into a prefix made before
# fonts-wine was installed) gives the caption its buttons instead of "0 1 r".
add_marlett() {
  local fonts=$prefix/drive_c/windows/Fonts
  [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ] &&
    cp /usr/share/wine/fonts/marlett.ttf "$fonts/marlett.ttf.$$" &&
    mv -f "$fonts/marlett.ttf.$$" "$fonts/marlett.ttf"
  return 0
}
if [ -f "$ready" ]; then
  add_marlett
  exit 0
fi

exec 9>"$prefix.lock"
flock 9
[ -f "$ready" ] && exit 0

echo "wine-prefix: creating $prefix ($graphics graphics)" >&2
wineboot --init >/dev/null 2>&1 </dev/null 9>&-
wineserver -w
reg() { wine reg add "$@" /f >/dev/null 2>&1 </dev/null 9>&-; }
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d "$graphics"
if [ "$graphics" = x11 ]; then
  reg 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N
  reg 'HKCU\Software\Wine\X11 Driver' /v Managed /d N
fi
for face in "Yu Gothic UI" "Yu Mincho" "Segoe UI"; do
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "Noto Sans CJK JP"
done
# The serif of the wordmark and the page titles.
reg 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /d "Noto Serif CJK JP"
# No crash dialog: a faulting program just ends.
reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
wineserver -k || true
wineserver -w || true
add_marlett
touch "$ready"
