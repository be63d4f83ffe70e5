#!/usr/bin/env bash
# Puts the test stand-in for Windows PowerShell into a project Wine prefix
# (never a shipped program, never ~/.wine): system32\powershell.exe, found
# before Wine's own stub, and loaded as the native program it is.
#   install-powershell-standin.sh <prefix-dir> <powershell-standin.exe>
set -euo pipefail
prefix=${1:?usage: install-powershell-standin.sh <prefix-dir> <standin.exe>}
standin=${2:?usage: install-powershell-standin.sh <prefix-dir> <standin.exe>}
target=$prefix/drive_c/windows/system32/powershell.exe
if [ -f "$target" ] && cmp -s "$standin" "$target"; then exit 0; fi
cp "$standin" "$target.tmp"
mv "$target.tmp" "$target"
WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v powershell.exe /d native /f >/dev/null 2>&1 </dev/null
