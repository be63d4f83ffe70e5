#!/usr/bin/env bash
# Creates (once) the Wine prefix that draws on a real X display, for the
# screenshots and the demo's window (see wine-prefix.sh).
#   wine-prefix-x11.sh <prefix-dir>
exec "$(dirname "$0")/wine-prefix.sh" "${1:?usage: wine-prefix-x11.sh <prefix-dir>}" x11
