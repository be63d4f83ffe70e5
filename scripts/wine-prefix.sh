#!/usr/bin/env bash
# Creates (once) the project's own Wine prefix: headless, Japanese fonts mapped,
# no Mono/Gecko prompts. Never touches ~/.wine. Safe to call concurrently.
#   wine-prefix.sh <prefix-dir>
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh <prefix-dir>}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
[ -f "$prefix/.orvelant-ready" ] && exit 0

exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.orvelant-ready" ] && exit 0

echo "wine-prefix: creating $prefix" >&2
wineboot --init >/dev/null 2>&1 </dev/null
wineserver -w
reg() { wine reg add "$@" /f >/dev/null 2>&1 </dev/null; }
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d null
for face in "Yu Gothic UI" "Yu Mincho" "Segoe UI"; do
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "Noto Sans CJK JP"
done
# The serif of the wordmark and the page titles.
reg 'HKCU\Software\Wine\Fonts\Replacements' /v Georgia /d "Noto Serif CJK JP"
# No crash dialog: a faulting test program just ends.
reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
wineserver -k || true
wineserver -w || true
touch "$prefix/.orvelant-ready"
