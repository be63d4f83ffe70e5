#!/usr/bin/env bash
# PLAY-to-start benchmark of the Launcher Shell: the time from the PLAY
# command on the LIBRARY page of an installed, current product to the start
# of the game's process (the update check runs first: the first one hashes
# every file copied in, later ones revalidate the manifest and read no
# unchanged file), against the time the same game takes when its process is
# started directly. Three products: "first-title" of the demo release
# (~5 MiB in 5 files), the 2 GiB, 201-file product of product_bench.sh, and
# a product of 20,000 files and 2 GiB made here (ORV_PLAY_FILES, ORV_PLAY_MIB;
# ORV_PLAY_FILES=0 leaves it out).
#   ./bench/play_bench.sh   (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_ROUNDS (default 3) rounds per product. The 2 GiB
# product is generated and published by ./bench/product_bench.sh into
# build/bench-product/ (run that once first; this script only reuses it).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build
prefix=$build/wineprefix
rounds=${ORV_BENCH_ROUNDS:-3}
settings_key='HKCU\Software\ORVELANT\Launcher'
scratch=$build/bench-play
die() { echo "play_bench: $*" >&2; exit 1; }
for f in "$build/bin/ORVELANT Launcher.exe" "$build/bin/ORVELANT Update Worker.exe" \
  "$build/tools/shell-driver.exe" "$build/tools/trust-ca.exe" "$build/samples/ORVELANT.exe"; do
  [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"
done
case $rounds in '' | *[!0-9]*) die "ORV_BENCH_ROUNDS must be a number" ;; esac

wine_run() { "$repo/scripts/wine-run" "$prefix" "$@" </dev/null; }
winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
drive() { wine_run "$build/tools/shell-driver.exe" "$@"; }
text_at() { drive dump | awk -F'\t' -v r="$1" '$6 == r { print $8; exit }'; }
# Waits (up to $1 s) until the file $2 exists; prints the moment it was seen.
wait_file() {
  local end
  end=$(calc "$(now) + $1")
  while [ ! -e "$2" ]; do
    [ "$(calc "$(now) < $end" 0)" = 1 ] || return 1
    sleep 0.01
  done
  now
}

host_state=$scratch/host-state
shell_pid=
cleanup() {
  set +e
  [ -n "$shell_pid" ] && kill "$shell_pid" 2>/dev/null
  "$repo/host/stop.sh" "$host_state" >/dev/null 2>&1
  wine_run reg delete "$settings_key" /v LibraryRoot /f >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$repo/scripts/wine-prefix.sh" "$prefix" >/dev/null

# bench_product <label> <tree> <id> <folder with the product's files>
bench_product() {
  local label=$1 tree=$2 id=$3 files=$4
  local install=$scratch/install library=$scratch/library
  local game=$library/$id record
  echo
  echo "== $label: $(find "$files" -type f | wc -l) files, $(du -sm "$files" | cut -f1) MiB"
  "$repo/host/stop.sh" "$host_state" >/dev/null 2>&1 || true
  "$repo/host/start.sh" "$host_state" "$tree" localhost >"$scratch/host.log" 2>&1 ||
    die "the update host did not start: $(cat "$scratch/host.log")"
  wine_run "$build/tools/trust-ca.exe" "$(winpath "$host_state/certs/ca.crt")" >/dev/null
  rm -rf "$install" "$library"
  mkdir -p "$install" "$library"
  cp "$build/bin/ORVELANT Launcher.exe" "$build/bin/ORVELANT Update Worker.exe" "$install/"
  # Installed and current: the published files themselves. The game ends
  # after a second (game.txt beside it; a file the manifest does not list
  # stays untouched by the check).
  cp -r "$files" "$game"
  printf 'title=BENCH\r\nseconds=1\r\n' >"$game/game.txt"
  record=$game/launch-record.txt
  wine_run reg add "$settings_key" /v LibraryRoot /d "$(winpath "$library")" /f >/dev/null

  # The peer: the game's process started directly, in its folder.
  local direct=() play=() t0 t1
  for ((r = 1; r <= rounds; r++)); do
    rm -f "$record"
    t0=$(now)
    (cd "$game" && wine_run "$game/ORVELANT.exe" --launcher-version=1.0.0) &
    t1=$(wait_file 30 "$record") || die "the game did not start directly"
    wait
    direct+=("$(calc "$t1 - $t0")")
  done

  (cd "$install" && exec "$repo/scripts/wine-run" "$prefix" "$install/ORVELANT Launcher.exe") </dev/null >/dev/null 2>&1 &
  shell_pid=$!
  drive wait 60000 >/dev/null || die "no Shell window"
  for _ in $(seq 1 120); do
    [ "$(text_at 30,680,165,22)" != "SIGNAL // SYNCING" ] && break
    sleep 0.5
  done
  drive command 1003 command 2100 >/dev/null
  [ "$(text_at 818,485,190,54)" = PLAY ] || die "$id is not shown as installed"
  for ((r = 1; r <= rounds; r++)); do
    rm -f "$record"
    # The moment the driver returns, the Shell has dispatched the command.
    drive command 1300 >/dev/null
    t0=$(now)
    t1=$(wait_file 600 "$record") || die "PLAY did not start the game (status: $(text_at 236,735,620,22))"
    play+=("$(calc "$t1 - $t0")")
    # Let the game end and the Shell go idle again.
    for _ in $(seq 1 100); do
      [ "$(text_at 236,735,620,22)" = "READY // CURRENT" ] && [ -n "$(grep -s "$id=" "$install/playtime.txt")" ] &&
        [ "$(grep -o "$id=[0-9]*" "$install/playtime.txt" | cut -d= -f2)" -ge "$r" ] && break
      sleep 0.3
    done
    printf '  round %d: PLAY to game start %s s, direct start %s s\n' "$r" "${play[-1]}" "${direct[$((r - 1))]}"
  done
  drive close >/dev/null || true
  wait "$shell_pid" 2>/dev/null || true
  shell_pid=
  local mp md
  mp=$(median "${play[@]}") md=$(median "${direct[@]}")
  printf '  median: PLAY to game start %s s; direct start %s s; PLAY/direct %sx; the update check adds %s s\n' \
    "$mp" "$md" "$(calc "$mp / $md" 2)" "$(calc "$mp - $md")"
  summary+=("$(printf '  %-40s  %10s s  %10s s  %8sx' "$label" "$mp" "$md" "$(calc "$mp / $md" 2)")")
}

rm -rf "$scratch"
mkdir -p "$scratch"
summary=()
demo_tree=$scratch/demo-tree
"$repo/samples/make-demo-release.sh" "$build" "$demo_tree" 1.0.0 >/dev/null
bench_product "demo release: first-title" "$demo_tree" first-title "$build/demo-release/games/first-title"

big=$build/bench-product
if [ -f "$big/tree/.orvelant-published" ] && [ -d "$big/games/bench-title" ]; then
  bench_product "2 GiB product: bench-title" "$big/tree" bench-title "$big/games/bench-title"
else
  echo
  echo "== 2 GiB product: not generated yet (run ./bench/product_bench.sh once); skipped"
fi

# A product of many files (20,000 and 2 GiB by default): generated and
# published here once, kept in build/bench-play-many/.
many=$build/bench-play-many
many_files=${ORV_PLAY_FILES:-20000}
many_mib=${ORV_PLAY_MIB:-2048}
if [ "$many_files" != 0 ]; then
  if [ "$(cat "$many/stamp" 2>/dev/null)" != "$many_files $many_mib" ]; then
    echo
    echo "== generating and publishing a product of $many_files files, $many_mib MiB in $many ..."
    rm -rf "$many" && mkdir -p "$many/games/many-title"
    cp "$build/samples/ORVELANT.exe" "$many/games/many-title/ORVELANT.exe"
    python3 - "$many/games/many-title" "$many_files" "$((many_mib * 1048576))" <<'PY'
import hashlib, os, sys
folder, n, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
each = total // n
block = b"".join(hashlib.sha256(b"%d" % i).digest() for i in range(4096))  # 128 KiB
for i in range(n):
    path = os.path.join(folder, "data%02d" % (i // 1000), "f%06d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    head = hashlib.sha256(b"file %d" % i).digest()
    body = (block * (each // len(block) + 1))[:each - 32]
    open(path, "wb").write(head + body)
PY
    printf '%s\n' "host = localhost" "signing_key = $build/keys/update-signing.pem" "" \
      "[product many-title]" "title = MANY FILES" "project = BENCH" "subtitle = MANY FILES." \
      "install_dir = many-title" "executable = ORVELANT.exe" \
      "manifest_path = /games/many-title/stable/manifest.json" "folder = games/many-title" \
      "version = 1.0.0" >"$many/release.txt"
    (cd "$many" && "$build/native/orvelant-release" publish release.txt tree >/dev/null) || die "publish failed"
    echo "$many_files $many_mib" >"$many/stamp"
  else
    "$build/native/orvelant-release" refresh "$many/tree" --key "$build/keys/update-signing.pem" >/dev/null
  fi
  bench_product "$many_files-file product: many-title" "$many/tree" many-title "$many/games/many-title"
fi

echo
echo "== summary ($rounds rounds, medians, page cache warm)"
printf '  %-40s  %12s  %12s  %9s\n' product "PLAY->start" "direct start" "ratio"
printf '%s\n' "${summary[@]}"
echo "  PLAY->start: from the dispatched PLAY command to the game's own first write (its launch record);"
echo "  direct: from starting the game's process from Linux (wine) to that write. Lower is better."
rm -rf "$scratch/install" "$scratch/library"
