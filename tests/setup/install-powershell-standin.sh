#!/usr/bin/env bash
# Puts the test stand-in for Windows PowerShell into a project Wine prefix
# (never a shipped program, never ~/.wine): system32\WindowsPowerShell\v1.0\
# powershell.exe, where Windows keeps it (and system32\powershell.exe for
# older Setups that start it by name), in place of Wine's own stub, loaded
# as the native program it is.
#   install-powershell-standin.sh <prefix-dir> <powershell-standin.exe>
set -euo pipefail
prefix=${1:?usage: install-powershell-standin.sh <prefix-dir> <standin.exe>}
standin=${2:?usage: install-powershell-standin.sh <prefix-dir> <standin.exe>}
system32=$prefix/drive_c/windows/system32
fresh=1
for target in "$system32/powershell.exe" "$system32/WindowsPowerShell/v1.0/powershell.exe"; do
  if [ -f "$target" ] && cmp -s "$standin" "$target"; then continue; fi
  fresh=0
  mkdir -p "$(dirname "$target")"
  cp "$standin" "$target.tmp"
  mv "$target.tmp" "$target"
done
[ "$fresh" = 1 ] && exit 0
WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v powershell.exe /d native /f >/dev/null 2>&1 </dev/null
