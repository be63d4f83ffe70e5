#!/usr/bin/env bash
# What a publish costs the origin: a synthetic product shaped like a large
# game (80 % small files, 18 % medium, 2 % large; 6 %, 35 % and 59 % of the
# bytes, as in a 60 GiB game of 100,000 files) published twice with the release tool, the second time with 2 % of
# its files changed (a large file's change is 1 MiB in its middle). For each
# publish: the wall time, the origin's storage (du, hard links once) and the
# bytes written (files of the tree whose inode is new), per byte of game and
# per byte of change; the peers in the same run are a plain copy of the
# product (cp -a) and the game's own bytes.
#   ./bench/publish_store_bench.sh     (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_FILES (100000) and ORV_BENCH_MIB (4096) size the
# product; ORV_BENCH_TOOL=<another orvelant-release> (an earlier build) measures
# that one instead. The run stays in build/bench-publish/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
tool=${ORV_BENCH_TOOL:-$PWD/build/native/orvelant-release}
work=$PWD/build/bench-publish
files=${ORV_BENCH_FILES:-100000}
mib=${ORV_BENCH_MIB:-4096}
[ -x "$tool" ] || { echo "publish_store_bench: $tool is missing: run ./scripts/build.sh first" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work/game"
cd "$work"
"$tool" keygen key.pem public.pem >/dev/null

echo "product: $files files, $mib MiB"
python3 "$repo/bench/synthetic_product.py" make game "$files" "$mib"
game_bytes=$(du -sb game | cut -f1)
head -c 4000000 /dev/urandom >Setup.exe
printf '%s\n' '[control]' 'installer_url = https://localhost/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe' \
  'installer_file = Setup.exe' '[product bench]' 'title = BENCH' 'install_dir = bench' 'executable = Game.exe' \
  'manifest_path = /games/bench/manifest.json' 'folder = game' 'version = 1' >release.txt

# inodes <tree>: "inode size" of every file, for the bytes a publish wrote.
inodes() { find "$1" -type f -printf '%i %s\n' | sort -u; }
# publish_measured <label>: time, storage and new bytes of one publish.
publish_measured() {
  local before=$work/inodes.before start end
  if [ -d tree ]; then inodes tree >"$before"; else : >"$before"; fi
  sync
  start=$(date +%s%N)
  "$tool" publish release.txt tree --key key.pem >/dev/null
  end=$(date +%s%N)
  elapsed_ms=$(((end - start) / 1000000))
  stored=$(du -sb tree | cut -f1)
  inodes tree >"$work/inodes.after"
  written=$(awk -v b="$before" 'FILENAME == b { old[$1] = 1; next } !($1 in old) { s += $2 } END { printf "%.0f\n", s }' \
    "$before" "$work/inodes.after")
  echo "$1: ${elapsed_ms} ms, tree $stored bytes, written $written bytes"
}

sync
start=$(date +%s%N)
cp -a game game-copy
sync
copy_ms=$((($(date +%s%N) - start) / 1000000))
rm -rf game-copy
echo "peer: cp -a of the product ${copy_ms} ms"

publish_measured "first publish"
first_ms=$elapsed_ms first_stored=$stored first_written=$written

# 2 % of the files change: small and medium ones whole, large ones 1 MiB in
# the middle.
changed=$(python3 "$repo/bench/synthetic_product.py" change game)
publish_measured "second publish (2 % of files changed, $changed bytes in them)"
python3 - "$game_bytes" "$changed" "$first_ms" "$first_stored" "$first_written" "$elapsed_ms" \
  "$stored" "$written" "$copy_ms" <<'PY'
import sys
game, changed, t1, s1, w1, t2, s2, w2, copy = map(int, sys.argv[1:])
print('first release: stored %.3f x the game, written %.3f x the game' % (s1 / game, w1 / game))
print('second release: stored %.3f x the changed bytes (added), written %.3f x the changed bytes'
      % ((s2 - s1) / changed, w2 / changed))
print('publish time: first %.2f x cp -a of the product; second %.3f x the first' % (t1 / copy, t2 / t1))
PY
