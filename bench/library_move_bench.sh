#!/usr/bin/env bash
# Library move benchmark: CHANGE / MOVE LIBRARY in the Shell, for a Game
# Library of ORV_BENCH_MB MiB (default 256) in 64 files under 4 product
# folders, from the build tree's disk to another folder of the same disk and
# to another volume (a tmpfs that is drive Y: of a prefix of its own, in a
# private mount namespace), against GNU mv of the same tree between the same
# two places (a rename on one volume, copy-and-delete across devices). The Shell's time runs from the answer to its question until its
# "moved" box is up (the driver's start-up is measured and taken off).
# Prints each round and the ratio of the medians. Root only.
#   ./bench/library_move_bench.sh   (after ./scripts/build.sh)
# Environment: ORV_BENCH_MB, ORV_BENCH_ROUNDS (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build
prefix=$build/wineprefix-volume
mb=${ORV_BENCH_MB:-256}
rounds=${ORV_BENCH_ROUNDS:-3}
die() { echo "library_move_bench: $*" >&2; exit 1; }
shell_exe=$build/tests/bin/shell-with-test-hooks.exe
driver=$build/tools/shell-driver.exe
for f in "$shell_exe" "$driver"; do [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"; done
case $mb$rounds in *[!0-9]*) die "ORV_BENCH_MB and ORV_BENCH_ROUNDS must be numbers" ;; esac
if [ -z "${ORVELANT_BENCH_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null || die "needs root and unshare -m"
  scripts/wine-prefix.sh "$prefix"
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  ORVELANT_BENCH_NS=1 exec unshare -m --propagation private -- "$0" "$@"
fi

scratch=$build/bench-move
rm -rf "$scratch"
mkdir -p "$scratch/install" "$scratch/second" "$scratch/source" "$scratch/lib" "$scratch/near"
mount -t tmpfs -o size=$((mb * 2 + 64))m orvelant-bench "$scratch/second"
ln -sfn "$scratch/second" "$prefix/dosdevices/y:"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
key='HKCU\Software\ORVELANT\Launcher'
cleanup() {
  wine reg delete "$key" /v LibraryRoot /f </dev/null >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$scratch/lib" "$scratch/source" "$scratch/near"
}
trap cleanup EXIT
winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
drive() { wine "$driver" "$@" </dev/null; }

# The library: 4 products of 16 files each, random bytes.
per_file=$((mb * 1024 * 1024 / 64))
for p in 1 2 3 4; do
  mkdir -p "$scratch/source/game-$p/data"
  for f in $(seq 1 16); do head -c "$per_file" /dev/urandom >"$scratch/source/game-$p/data/$f.pak"; done
done
cp "$shell_exe" "$scratch/install/ORVELANT Launcher.exe"
export ORV_TEST_PICK_FILE
ORV_TEST_PICK_FILE=$(winpath "$scratch/pick.txt")

start_cost=()
for _ in 1 2 3; do t0=$(now); drive sleep 0 >/dev/null; start_cost+=("$(calc "$(now) - $t0")"); done
overhead=$(printf '%s\n' "${start_cost[@]}" | sort -n | sed -n 2p)
# Every round starts from the library on the first volume (a move before
# stored the new root).
fresh() {
  rm -rf "$scratch/second/ORVELANT Games" "$scratch/lib/ORVELANT Games" "$scratch/near/ORVELANT Games"
  cp -r "$scratch/source" "$scratch/lib/ORVELANT Games"
  wine reg add "$key" /v LibraryRoot /d "$(winpath "$scratch/lib/ORVELANT Games")" /f </dev/null >/dev/null
  sync
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
echo "library: ${mb} MiB in 64 files, from $(df --output=source "$scratch/lib" | tail -1)"
echo "driver start-up taken off the Shell's times: ${overhead} s"
# <name> <picked folder as Windows sees it> <its Linux path>
measure() {
  local name=$1 pick=$2 dest=$3
  printf '%s' "$pick" >"$scratch/pick.txt"
  local shell_times=() mv_times=()
  for round in $(seq 1 "$rounds"); do
    fresh
    (cd "$scratch/install" && exec wine "ORVELANT Launcher.exe" </dev/null >/dev/null 2>&1) &
    drive wait 30000 command 1005 command 1403 box 10000 >/dev/null
    t0=$(now)
    answer=$(drive answer 6 box 600000)
    t=$(calc "$(now) - $t0 - $overhead")
    case $answer in *変更しました*) ;; *) die "the move did not end with its done box: $answer" ;; esac
    drive answer 1 close >/dev/null
    wait
    moved=$(find "$dest/ORVELANT Games" -type f | wc -l)
    [ "$moved" = 64 ] || die "only $moved files at the new root"
    shell_times+=("$t")

    fresh
    t0=$(now)
    mv "$scratch/lib/ORVELANT Games" "$dest/ORVELANT Games"
    m=$(calc "$(now) - $t0")
    mv_times+=("$m")
    echo "$name round $round: shell $t s, mv $m s"
  done
  local ms mm
  ms=$(median "${shell_times[@]}") mm=$(median "${mv_times[@]}")
  echo "$name median: shell $ms s ($(calc "$mb / $ms") MiB/s), mv $mm s ($(calc "$mb / $mm") MiB/s), shell/mv $(calc "$ms / $mm")"
}
measure "same volume" "$(winpath "$scratch/near")" "$scratch/near"
measure "across volumes" 'Y:\' "$scratch/second"
