#!/usr/bin/env bash
# The Shell driven as a player would, on a private virtual display, against
# the local update host that serves the demo release:
#   demo-player.sh <install-dir> <game-library-root> <out-dir>
# caps the bandwidth (SETTINGS), installs "first-title" from the LIBRARY page,
# saves the DOWNLOADS page while it downloads and while it is paused, resumes,
# then presses PLAY: the update check runs and the sample game starts (its
# window is in a screenshot of the whole screen), ends after its seconds, and
# the LIBRARY page shows the playtime; then the Game Library is moved to a
# second folder and the game started from there. The Shell and Worker must already be in
# <install-dir>, the host running and its CA trusted in build/wineprefix-x11,
# whose "LibraryRoot" setting points at <game-library-root>.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${ORV_BUILD_DIR:-$root/build}
[ $# -eq 3 ] || { echo "usage: demo-player.sh <install-dir> <game-library-root> <out-dir>" >&2; exit 2; }
install=$(cd "$1" && pwd)
library=$2
mkdir -p "$3"
out=$(cd "$3" && pwd)
game=$library/first-title
. "$here/x11-session.sh"

# The text of the control at a client rectangle ("x,y,w,h").
text_at() { drive dump | awk -F'\t' -v r="$1" '$6 == r { print $8; exit }'; }
# One dump, several texts from it: snap, then seen <rect>.
snap() { drive "$@" dump >"$out/.controls"; }
seen() { awk -F'\t' -v r="$1" '$6 == r { print $8; exit }' "$out/.controls"; }
status() { text_at 236,735,620,22; }
wait_for() {  # wait_for <seconds> <what> <command...>
  local limit=$1 what=$2; shift 2
  for _ in $(seq 1 $((limit * 4))); do "$@" && return 0; sleep 0.25; done
  echo "demo-player: gave up waiting for $what" >&2
  return 1
}
shot_window() {  # the Shell's window only
  read -r x y w h _ < <(drive outer)
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$1.png"
  echo "   $out/$1.png"
}
say() { echo "   $*"; }
status_is() { [ "$(status)" = "$1" ]; }
sync_settled() { [ "$(text_at 30,680,165,22)" != "SIGNAL // SYNCING" ]; }
playtime_counted() { grep -q 'first-title=7[2-9]' "$install/playtime.txt"; }

# A clean start for the player: first-title not installed yet; its earlier
# play (1 h 59 min 55 s) on record, so that one short run shows in hours and
# minutes.
# The bandwidth cap is the player's own step: none before it, none after.
no_bandwidth_cap() {
  wine reg delete 'HKCU\Software\ORVELANT\Launcher' /v BandwidthKbps /f </dev/null >/dev/null 2>&1 8>&- || true
}
no_bandwidth_cap
rm -rf "$game"
printf 'first-title=7195\r\n' >"$install/playtime.txt"
rm -f "$install/pause.download"

(cd "$install" && exec wine "ORVELANT Launcher.exe") </dev/null >"$out/shell.log" 2>&1 8>&- &
shell_pid=$!
drive wait 60000 >/dev/null
wait_for 30 "the start-up sync" sync_settled || true
say "signal label: $(text_at 30,680,165,22)"

drive command 1005 command 1404 sleep 300 >/dev/null
say "SETTINGS: $(text_at 515,520,245,46) (the Worker reads it after every chunk)"

drive command 1003 command 2100 sleep 300 >/dev/null
say "LIBRARY: $(text_at 815,310,410,50): $(text_at 818,485,190,54)"
drive command 1300 >/dev/null
wait_for 30 "the download" status_is "DOWNLOAD // ACTIVE"
snap sleep 600
shot_window DOWNLOADS-downloading
say "DOWNLOADS while it downloads: $(seen 255,285,700,32) // $(seen 255,335,700,26)"
say "  $(seen 255,370,800,25)"
snap command 1350 sleep 1200
shot_window DOWNLOADS-paused
say "after PAUSE: $(seen 255,285,700,32), button $(seen 255,550,180,48), flag file: $([ -f "$install/pause.download" ] && echo present || echo absent)"
snap command 1350
say "after RESUME: $(seen 236,735,620,22), button $(seen 255,550,180,48)"
wait_for 120 "the install" status_is "READY // CURRENT"
say "install done: $(status); $(sed -n 's/.*"version": "\(.*\)".*/version.json \1/p' "$game/version.json")"

drive command 1003 sleep 300 >/dev/null
say "LIBRARY: $(text_at 818,370,400,20)"
rm -f "$game/launch-record.txt"
snap command 1300
say "PLAY: the update check runs first ($(seen 236,735,620,22))"
wait_for 60 "the game's start" test -s "$game/launch-record.txt"
sleep 1.5
say "the game was started with:"
sed 's/\r$//; s/^/     /' "$game/launch-record.txt"
import -window root "$out/PLAY-game-running.png"
say "$out/PLAY-game-running.png (the whole screen: the game's window over the Shell)"
wait_for 30 "the game's end" playtime_counted
drive sleep 300 command 1003 sleep 400 >/dev/null
say "after the game ended: playtime.txt $(tr -d '\r\n' <"$install/playtime.txt"); LIBRARY: $(text_at 818,370,400,20)"
shot_window LIBRARY-playtime

# The Game Library moved once, to a second folder picked in the real folder
# picker (SETTINGS, CHANGE / MOVE LIBRARY); the game then plays from there.
moved_parent_win='C:\ORVELANT Demo Second Folder'
moved_parent="$WINEPREFIX/drive_c/ORVELANT Demo Second Folder"
rm -rf "$moved_parent"
mkdir -p "$moved_parent"
moved_game="$moved_parent/ORVELANT Games/first-title"
drive command 1005 command 1403 sleep 1500 pick "$moved_parent_win" >/dev/null
say "MOVE LIBRARY to $moved_parent_win: $(drive box 10000 | tail -n 1)"
drive answer 6 >/dev/null
say "then: $(drive box 60000 | tail -n 1)"
drive answer 1 sleep 300 >/dev/null
say "SETTINGS: $(text_at 255,270,900,42); status line: $(status)"
say "first-title now in $moved_game: $(find "$moved_game" -type f | wc -l) files; at the old place: $([ -d "$game" ] && echo still there || echo gone)"
rm -f "$moved_game/launch-record.txt"
played=$(tr -d '\r\n' <"$install/playtime.txt")
drive command 1003 sleep 300 command 1300 >/dev/null
wait_for 60 "the game's start from the moved library" test -s "$moved_game/launch-record.txt"
say "PLAY after the move: the game was started with:"
sed 's/\r$//; s/^/     /' "$moved_game/launch-record.txt"
playtime_changed() { [ "$(tr -d '\r\n' <"$install/playtime.txt")" != "$played" ]; }
wait_for 30 "the game's end" playtime_changed
say "after it ended: playtime.txt $(tr -d '\r\n' <"$install/playtime.txt")"

rm -f "$out/.controls"
drive close >/dev/null
no_bandwidth_cap
for _ in $(seq 1 100); do kill -0 "$shell_pid" 2>/dev/null || break; sleep 0.1; done
wait "$shell_pid" 2>/dev/null || true
shell_pid=
