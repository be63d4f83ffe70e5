#!/usr/bin/env bash
# Kill soak of the launcher's writers that the player cannot help: a kill -9
# of the process at a random moment, then what a player would find.
#  - The Setup's silent update over an older release (every core file with
#    bytes appended; the programs still start): killed at a random moment
#    once it has begun writing, then every core file is compared with the
#    older and the new release. A file that is neither is cut; a new Shell
#    beside any older file is a mixed launcher that is never offered the
#    update again. Every round ends with an uninterrupted Setup run that must
#    leave the new release byte for byte.
#  - The Shell's library move (its test build, which takes the picked folder
#    from a file): 4 products, killed at a random moment of the move, on one
#    volume and to another (a tmpfs that is drive Y: in a private mount
#    namespace); then the next start, which must finish the move with its
#    done box: a game not whole at the new root is hidden, any other box a
#    refusal, and "LibraryRoot" must name the new root. On one volume each
#    product folder moves in one rename, too fast to hit; there each step of
#    the move is stretched to 150 ms (ORV_TEST_MOVE_STEP_MS) so that the
#    kills land inside it.
# Prints every round's verdict and the totals. Root only.
#   ./bench/kill_soak.sh   (after ./scripts/build.sh)
# Environment: ORV_SOAK_SETUP (default 20), ORV_SOAK_MOVE (10), ORV_SOAK_ACROSS (6).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build
prefix=$build/wineprefix-volume
setup_rounds=${ORV_SOAK_SETUP:-20}
move_rounds=${ORV_SOAK_MOVE:-10}
across_rounds=${ORV_SOAK_ACROSS:-6}
die() { echo "kill_soak: $*" >&2; exit 1; }
setup_exe=$build/bin/ORVELANT_Launcher_Setup_v1.0.0.exe
shell_exe=$build/tests/bin/shell-with-test-hooks.exe
driver=$build/tools/shell-driver.exe
for f in "$setup_exe" "$shell_exe" "$driver"; do [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"; done
if [ -z "${ORVELANT_SOAK_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null || die "needs root and unshare -m"
  scripts/wine-prefix.sh "$prefix"
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  ORVELANT_SOAK_NS=1 exec unshare -m --propagation private -- "$0" "$@"
fi

scratch=$build/kill-soak
rm -rf "$scratch"
mkdir -p "$scratch/profile/AppData/Local/Temp" "$scratch/profile/AppData/Roaming" "$scratch/shell" \
  "$scratch/second" "$scratch/source" "$scratch/lib" "$scratch/near"
mount -t tmpfs -o size=256m orvelant-soak "$scratch/second"
ln -sfn "$scratch/second" "$prefix/dosdevices/y:"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
key='HKCU\Software\ORVELANT\Launcher'
cleanup() {
  wine reg delete "$key" /v LibraryRoot /f </dev/null >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # The tmpfs drive first: its mount point cannot be removed while mounted.
  umount "$scratch/second" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
winpath() { echo "Z:${1//\//\\}"; }
drive() { wine "$driver" "$@" </dev/null; }
random_ms() { echo $((RANDOM % $1)); }
# The Linux process whose program is <path> (the first found), or nothing.
pid_of() {
  local p arg0
  for p in /proc/[0-9]*; do
    { IFS= read -r -d '' arg0 <"$p/cmdline"; } 2>/dev/null || continue
    case $arg0 in *"$1") echo "${p#/proc/}"; return ;; esac
  done
}

# ---- the Setup ------------------------------------------------------------
install="$scratch/profile/AppData/Local/Programs/ORVELANT Launcher"
local_dir=$(winpath "$scratch/profile/AppData/Local")
cp "$setup_exe" "$scratch/soak-setup.exe"
run_setup() {  # runs the Setup's silent update in the scratch profile, in the background
  wine cmd /c "set LOCALAPPDATA=$local_dir&& set APPDATA=$(winpath "$scratch/profile/AppData/Roaming")&& set TEMP=$local_dir\\Temp&& $(winpath "$scratch/soak-setup.exe") /silent-update" \
    </dev/null >/dev/null 2>&1 &
  setup_job=$!
}
end_shells() {  # the Shell each Setup run starts, and its sync Worker
  local pid
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pid=$(pid_of "ORVELANT Launcher.exe")
    [ -z "$pid" ] && pid=$(pid_of "ORVELANT Update Worker.exe")
    [ -z "$pid" ] && return 0
    kill -9 "$pid" 2>/dev/null || true
    sleep 0.2
  done
}
core=("ORVELANT Launcher.exe" "ORVELANT Update Worker.exe" "Uninstall.exe" "assets/orvelant-wordmark.bmp"
  "assets/origin-core.bmp" "assets/origin-core.ico" "launcher_config.json" "README.txt")
run_setup; wait "$setup_job"; end_shells
mkdir -p "$scratch/new"
for f in "${core[@]}"; do mkdir -p "$(dirname "$scratch/new/$f")"; cp "$install/$f" "$scratch/new/$f"; done
make_old() {
  for f in "${core[@]}"; do cat "$scratch/new/$f" >"$install/$f"; printf '\r\nOLDER RELEASE\r\n' >>"$install/$f"; done
}
cut_total=0 mixed_total=0 final_bad=0
for round in $(seq 1 "$setup_rounds"); do
  make_old
  run_setup
  # The Setup's process first (it waits 900 ms before it writes), then from
  # its first temporary file on, a random moment within 300 ms.
  pid=
  for _ in $(seq 1 300); do pid=$(pid_of soak-setup.exe); [ -n "$pid" ] && break; sleep 0.01; done
  for _ in $(seq 1 1000); do
    [ -e "$install/ORVELANT Update Worker.new" ] || [ -e "$install/ORVELANT Launcher.new" ] && break
    sleep 0.005
  done
  sleep "0.$(printf '%03d' "$(random_ms 300)")"
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  wait "$setup_job" 2>/dev/null || true
  end_shells
  cut=0 new=0 shell_new=0
  for f in "${core[@]}"; do
    if cmp -s "$install/$f" "$scratch/new/$f"; then
      new=$((new + 1))
      [ "$f" = "ORVELANT Launcher.exe" ] && shell_new=1
    elif ! { cat "$scratch/new/$f"; printf '\r\nOLDER RELEASE\r\n'; } | cmp -s - "$install/$f"; then
      cut=$((cut + 1))
    fi
  done
  mixed=0
  [ "$shell_new" = 1 ] && [ "$new" -lt "${#core[@]}" ] && mixed=1
  cut_total=$((cut_total + cut)) mixed_total=$((mixed_total + mixed))
  run_setup; wait "$setup_job" || true; end_shells
  whole=yes
  for f in "${core[@]}"; do cmp -s "$install/$f" "$scratch/new/$f" || whole=no; done
  [ "$whole" = yes ] || final_bad=$((final_bad + 1))
  echo "setup round $round: $new of ${#core[@]} files new, $cut cut, mixed launcher: $mixed; after the next run the new release: $whole"
done
echo "setup: $setup_rounds kills, $cut_total cut files, $mixed_total mixed launchers, $final_bad rounds not new after the next run"

# ---- the library move -----------------------------------------------------
per_file=$((1024 * 1024))
for p in 1 2 3 4; do
  mkdir -p "$scratch/source/game-$p/data"
  for f in $(seq 1 16); do head -c "$per_file" /dev/urandom >"$scratch/source/game-$p/data/$f.pak"; done
done
(cd "$scratch/source" && find . -type f -exec sha256sum {} + | sort -k2) >"$scratch/source.sums"
cp "$shell_exe" "$scratch/shell/ORVELANT Launcher.exe"
export ORV_TEST_PICK_FILE
ORV_TEST_PICK_FILE=$(winpath "$scratch/pick.txt")
start_shell() { (cd "$scratch/shell" && exec wine "ORVELANT Launcher.exe" </dev/null >/dev/null 2>&1) & shell_job=$!; }
hidden_total=0 refused_total=0 root_bad=0
# <name> <rounds> <picked folder as Windows sees it> <its Linux path> <step ms or empty>
soak_move() {
  local name=$1 rounds=$2 pick=$3 dest=$4 step=$5 round
  printf '%s' "$pick" >"$scratch/pick.txt"
  for round in $(seq 1 "$rounds"); do
    rm -rf "$scratch/lib/ORVELANT Games" "$dest/ORVELANT Games" "$scratch/shell/library-move.pending"
    cp -r "$scratch/source" "$scratch/lib/ORVELANT Games"
    wine reg add "$key" /v LibraryRoot /d "$(winpath "$scratch/lib/ORVELANT Games")" /f </dev/null >/dev/null
    sync
    ORV_TEST_MOVE_STEP_MS=$step start_shell
    drive wait 30000 command 1005 command 1403 box 10000 >/dev/null
    drive answer 6 >/dev/null
    sleep "0.$(printf '%03d' "$(random_ms 700)")"
    kill -9 "$shell_job" 2>/dev/null || true  # (wine runs the Shell in that very process)
    wait "$shell_job" 2>/dev/null || true
    local split pending=no
    split="$(find "$dest/ORVELANT Games" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l) at the new root"
    [ -e "$scratch/shell/library-move.pending" ] && pending=yes
    # The next start: a move that was under way ends with its done box.
    start_shell
    local box=none refused=0 hidden=0 registry where
    drive wait 30000 >/dev/null
    if [ "$pending" = yes ]; then
      box=$(drive box 30000 2>/dev/null | tail -n 1 || true)
      case $box in *変更しました*) ;; *) refused=1 ;; esac
      drive answer 1 >/dev/null 2>&1 || true
    fi
    drive close >/dev/null 2>&1 || true
    wait "$shell_job" 2>/dev/null || true
    # Every game whole at the root that "LibraryRoot" names, or it is hidden.
    registry=$(wine reg query "$key" /v LibraryRoot </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
    where="$scratch/lib/ORVELANT Games"
    [ "$registry" = "${pick%\\}\\ORVELANT Games" ] && where="$dest/ORVELANT Games"
    for p in 1 2 3 4; do
      sums=$(cd "$where" 2>/dev/null && find "./game-$p" -type f -exec sha256sum {} + 2>/dev/null | sort -k2)
      [ "$sums" = "$(grep " ./game-$p/" "$scratch/source.sums")" ] || hidden=$((hidden + 1))
    done
    [ "$pending" = yes ] && [ "$where" != "$dest/ORVELANT Games" ] && root_bad=$((root_bad + 1))
    hidden_total=$((hidden_total + hidden)) refused_total=$((refused_total + refused))
    echo "$name round $round: killed with $split (move recorded: $pending); next start: box \"$box\", $hidden games hidden, refused: $refused, LibraryRoot $registry"
  done
}
soak_move "same volume" "$move_rounds" "$(winpath "$scratch/near")" "$scratch/near" 150
soak_move "across volumes" "$across_rounds" 'Y:\' "$scratch/second" ""
echo "library move: $((move_rounds + across_rounds)) kills ($move_rounds on one volume, $across_rounds to another), $hidden_total games hidden and $refused_total refusals at the next start, $root_bad recorded moves not finished there"
