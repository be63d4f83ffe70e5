#!/usr/bin/env bash
# Update traffic benchmark: what an update of a large game costs in bytes
# fetched and wall time, side by side in one run:
#   pieces   the Update Worker with this release tool's piece lists and piece
#            objects (lists, block sums and objects included)
#   whole    the same Worker against the same tree without piece lists: today's
#            whole-file update
#   zsync    Debian's zsync against zsyncmake's control file, over plain HTTP
#            from a second nginx on the same tree (control file included)
#   xdelta3  an xdelta3 patch between the two releases (the floor; its time is
#            the decode, the encode is shown apart)
# The game: one archive (1 GiB) and 200 small files. Patches: (a) 1 % of the
# archive rewritten in place in scattered 64 KiB runs, (b) 8 MiB inserted in
# the middle, (c) 64 MiB appended, (d) one small file changed, (e) the archive
# damaged locally in three places (a repair of an unchanged release), (f) the
# archive replaced whole (nothing to reuse).
# Bytes come from the host's access log (body bytes of every answer).
#   ./bench/delta_bench.sh           (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_ARCHIVE_MIB (default 1024) the archive's size,
# ORV_BENCH_SCENARIOS (default "a b c d e f") the scenarios to run.
set -euo pipefail
# Installed before the run enters its own network namespace (bench-env.sh).
ORV_BENCH_PACKAGES="zsyncmake:zsync xdelta3:xdelta3"
. "$(dirname "$0")/bench-env.sh"
MiB=1048576
archive_mib=${ORV_BENCH_ARCHIVE_MIB:-1024}
tool=$build/native/orvelant-release
key=$build/keys/update-signing.pem
prefix=$build/wineprefix
monitor=$build/tools/worker-monitor.exe
die() { echo "delta_bench: $*" >&2; exit 1; }
[ -x "$tool" ] && [ -f "$build/bin/ORVELANT Update Worker.exe" ] || die "run ./scripts/build.sh first"
[ "$(id -u)" = 0 ] || die "needs root (the update host's port 443)"
command -v zsyncmake >/dev/null && command -v xdelta3 >/dev/null ||
  die "zsync and xdelta3 are missing (apt-get install zsync xdelta3)"

scratch=$(mktemp -d "$build/delta-bench.XXXXXX")
state=$scratch/host
plain=$scratch/plain
cleanup() {
  set +e
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  [ -f "$plain/nginx.pid" ] && kill "$(cat "$plain/nginx.pid")" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_us() { local t=$EPOCHREALTIME; echo "${t//[.,]/}"; }
winpath() { echo "Z:${1//\//\\}"; }
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
# Body bytes the host sent since a point in a log: <log> <offset>.
sent_since() { tail -c +"$(($2 + 1))" "$1" | awk '{ s += $10 } END { print s + 0 }'; }
secs() { awk -v u="$1" 'BEGIN { printf "%.2f", u / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
log_size() { stat -c %s "$1" 2>/dev/null || echo 0; }

# --- releases ------------------------------------------------------------------
base=$scratch/release-base
mkdir -p "$base/data/small"
cp "$build/samples/ORVELANT.exe" "$base/ORVELANT.exe"
echo "making the game: a $archive_mib MiB archive and 200 small files"
rand archive "$((archive_mib * MiB))" >"$base/data/archive.pak"
for i in $(seq -w 1 200); do rand "small-$i" $((4096 + 10#$i * 331)) >"$base/data/small/f$i.bin"; done
archive_bytes=$((archive_mib * MiB))

# variant <name>: release B of the scenario in $scratch/release-<name> (hard
# links to A for what does not change).
variant() {
  local dir=$scratch/release-$1
  rm -rf "$dir"; cp -al "$base" "$dir"
  local a=$dir/data/archive.pak
  case $1 in
  a) # 1 % in scattered 64 KiB runs, in place.
    rm "$a"; cp "$base/data/archive.pak" "$a"
    local runs=$((archive_bytes / 100 / 65536)) i off
    for i in $(seq 1 "$runs"); do
      off=$(( (i * 2654435761) % (archive_bytes / 65536) ))
      rand "run-$i" 65536 | dd of="$a" bs=65536 seek="$off" conv=notrunc status=none
    done ;;
  b) rm "$a"
    { head -c $((archive_bytes / 2)) "$base/data/archive.pak"; rand inserted $((8 * MiB));
      tail -c +$((archive_bytes / 2 + 1)) "$base/data/archive.pak"; } >"$a" ;;
  c) rm "$a"; { cat "$base/data/archive.pak"; rand appended $((64 * MiB)); } >"$a" ;;
  d) rm "$dir/data/small/f100.bin"; rand changed-small 37000 >"$dir/data/small/f100.bin" ;;
  f) rm "$a"; rand replaced "$archive_bytes" >"$a" ;;
  e) ;;  # the release stays; the installed copy is damaged
  esac
}

publish() {  # publish <release dir> <version>
  # In place: zsync below reads the same files at their fixed addresses.
  printf '%s\n' "signing_key = $key" "file_addresses = in-place" "[product bench]" "title = BENCH" \
    "install_dir = bench" "executable = ORVELANT.exe" "manifest_path = /games/bench/stable/manifest.json" \
    "folder = $1" "version = $2" >"$scratch/release.txt"
  "$tool" publish "$scratch/release.txt" "$scratch/tree" >/dev/null
}

# --- hosts: nginx over TLS for the Worker, plain HTTP on 8080 for zsync ----
mkdir -p "$scratch/tree"
publish "$base" 1.0.0
# In place, the content store holds only the piece objects (and their block
# sums): the origin's extra storage for one release.
store_bytes=$(find "$scratch/tree/content" -type f ! -name '*.blocks' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
store_objects=$(find "$scratch/tree/content" -type f ! -name '*.blocks' | wc -l)
store_sums=$(find "$scratch/tree/content" -type f -name '*.blocks' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
"$repo/host/start.sh" "$state" "$scratch/tree" localhost >/dev/null
# One Wine server for the whole run: no Worker run pays for its start (the
# prefix is made first on a fresh build tree).
"$repo/scripts/wine-prefix.sh" "$prefix" >/dev/null
WINEPREFIX=$prefix WINEDEBUG=-all wineserver -p
"$repo/scripts/wine-run" "$prefix" "$build/tools/trust-ca.exe" "$(winpath "$state/certs/ca.crt")" >/dev/null
mkdir -p "$plain/logs" "$plain/tmp"
cat >"$plain/nginx.conf" <<CONF
user root root;
worker_processes 1;
pid $plain/nginx.pid;
error_log $plain/logs/error.log;
events { worker_connections 64; }
http {
  access_log $plain/logs/access.log;
  client_body_temp_path $plain/tmp; proxy_temp_path $plain/tmp; fastcgi_temp_path $plain/tmp;
  uwsgi_temp_path $plain/tmp; scgi_temp_path $plain/tmp;
  default_type application/octet-stream;
  server { listen 127.0.0.1:8080; root $scratch/tree; }
}
CONF
nginx -c "$plain/nginx.conf" -p "$plain/" -e "$plain/logs/error.log"
tls_log=$state/logs/access.log plain_log=$plain/logs/access.log

# --- the Worker's install and Game Library -------------------------------------
install=$scratch/install
library=$scratch/profile
game=$library/ORVELANT/Games/bench
mkdir -p "$install" "$library"
cp "$build/bin/ORVELANT Update Worker.exe" "$install/"
printf '{\r\n  "products": [\r\n    {"id": "bench", "title": "BENCH", "install_dir": "bench", "executable": "ORVELANT.exe", "manifest_path": "/games/bench/stable/manifest.json"}\r\n  ]\r\n}\r\n' \
  >"$install/catalog.json"
install_release_a() {
  rm -rf "$game" "$install/.orvelant-staging" "$install/.orvelant-backup" "$install/logs"
  mkdir -p "$(dirname "$game")"; cp -al "$base" "$game"
}
damage() {  # three 64 KiB stretches of the installed archive
  local a=$game/data/archive.pak off
  rm "$a"; cp "$base/data/archive.pak" "$a"
  for off in $((archive_bytes / 5)) $((archive_bytes / 2)) $((archive_bytes * 4 / 5)); do
    rand "damage-$off" 65536 | dd of="$a" bs=65536 seek="$off" oflag=seek_bytes conv=notrunc status=none
  done
}
run_worker() {  # sets w_bytes, w_us; checks the result against $1
  local mark t0 rc=0
  mark=$(log_size "$tls_log")
  t0=$(now_us)
  "$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" \
    "$(winpath "$install/ORVELANT Update Worker.exe")" "/parent:{parent}" /product:bench \
    </dev/null >/dev/null 2>&1 || rc=$?
  w_us=$(($(now_us) - t0))
  w_bytes=$(sent_since "$tls_log" "$mark")
  [ "$rc" = 0 ] || { tail -25 "$install/logs/updater.log" >&2; die "the Worker failed ($rc)"; }
  # The launcher's own bookkeeping in the game folder is no part of the release.
  diff -rq "$1" "$game" -x .orvelant-known-good -x .orvelant-release-serial -x .orvelant-file-states -x version.json \
    >"$scratch/diff" ||
    { cat "$scratch/diff" >&2; tail -5 "$install/logs/updater.log" >&2; die "the updated game differs from the release"; }
}

changed_files() {  # files of release B that differ from the installed copy
  (cd "$1" && find . -type f | sed 's|^\./||' | while read -r f; do
    cmp -s "$1/$f" "$game/$f" || echo "$f"; done)
}

printf '\n%-28s %14s %9s %14s %9s %14s %9s %14s %9s\n' scenario "pieces B" "s" "whole B" "s" \
  "zsync B" "s" "xdelta3 B" "s" | tee "$scratch/table"
row() { printf '%-28s %14s %9.2f %14s %9.2f %14s %9.2f %14s %9s\n' "$@"; }
for s in ${ORV_BENCH_SCENARIOS:-a b c d e f}; do
  case $s in
  a) title="(a) 1 % scattered 64 KiB" ;; b) title="(b) 8 MiB inserted" ;;
  c) title="(c) 64 MiB appended" ;; d) title="(d) one small file" ;; e) title="(e) repair, 3 damages" ;;
  f) title="(f) archive replaced" ;;
  esac
  variant "$s"
  new=$scratch/release-$s
  version=1.1.$s; [ "$s" = e ] && version=1.0.0
  publish "$new" "$version"
  nginx -c "$plain/nginx.conf" -p "$plain/" -s reload 2>/dev/null || true
  "$repo/host/start.sh" "$state" "$scratch/tree" localhost >/dev/null

  # pieces
  install_release_a; [ "$s" = e ] && damage
  run_worker "$new"; p_bytes=$w_bytes p_us=$w_us
  # whole: the same tree without its piece lists
  install_release_a; [ "$s" = e ] && damage
  mapfile -t todo < <(changed_files "$new")
  lists=$(find "$scratch/tree" -name '*.pieces*')
  mkdir -p "$scratch/lists"; for l in $lists; do mv "$l" "$scratch/lists/"; done
  run_worker "$new"; h_bytes=$w_bytes h_us=$w_us
  for l in $lists; do mv "$scratch/lists/$(basename "$l")" "$l"; done
  # zsync and xdelta3 over the files that differ (the damaged copy is the
  # local file in a repair)
  install_release_a; [ "$s" = e ] && damage
  z_bytes=0 z_us=0 x_bytes=0 x_us=0 x_enc=0
  [ "$s" = f ] && x_bytes=-
  for f in "${todo[@]}"; do
    served=$scratch/tree/games/bench/stable/files/$f
    (cd "$(dirname "$served")" && zsyncmake -o "$(basename "$f").zsync" "$(basename "$f")" >/dev/null 2>&1)
    mark=$(log_size "$plain_log") t0=$(now_us)
    (cd "$scratch" && zsync -q -i "$game/$f" -o "$scratch/zsync.out" \
      "http://127.0.0.1:8080/games/bench/stable/files/$f.zsync" >"$scratch/zsync.log" 2>&1) ||
      { cat "$scratch/zsync.log" >&2; tail -3 "$plain/logs/error.log" >&2; die "zsync of $f failed"; }
    z_us=$((z_us + $(now_us) - t0))
    z_bytes=$((z_bytes + $(sent_since "$plain_log" "$mark")))
    cmp -s "$scratch/zsync.out" "$new/$f" || die "zsync's $f differs"
    rm -f "$served.zsync" "$scratch/zsync.out" "$scratch/zsync.out.part"
    # Nothing in common: xdelta3 would spend minutes to find that the patch
    # is the file.
    [ "$s" = f ] && continue
    t0=$(now_us)
    # A source window over the whole old file: the smallest patch xdelta3 makes.
    xdelta3 -e -f -1 -S none -B 1073741824 -s "$game/$f" "$new/$f" "$scratch/patch.vcdiff"
    x_enc=$((x_enc + $(now_us) - t0))
    x_bytes=$((x_bytes + $(stat -c %s "$scratch/patch.vcdiff")))
    t0=$(now_us)
    xdelta3 -d -f -B 1073741824 -s "$game/$f" "$scratch/patch.vcdiff" "$scratch/xdelta.out"
    x_us=$((x_us + $(now_us) - t0))
    cmp -s "$scratch/xdelta.out" "$new/$f" || die "xdelta3's $f differs"
    rm -f "$scratch/patch.vcdiff" "$scratch/xdelta.out"
  done
  row "$title" "$p_bytes" "$(secs "$p_us")" "$h_bytes" "$(secs "$h_us")" \
    "$z_bytes" "$(secs "$z_us")" "$x_bytes" "$([ "$s" = f ] && echo - || secs "$x_us")" | tee -a "$scratch/table"
  echo "   pieces/zsync $(ratio "$p_bytes" "$z_bytes"), pieces/xdelta3 $(ratio "$p_bytes" "$x_bytes"), time pieces/whole $(ratio "$p_us" "$h_us"); xdelta3 encode $(secs "$x_enc") s; files changed: ${#todo[@]}"
  rm -rf "$new"
  publish "$base" 1.0.0
done
lists_total=$(find "$scratch/tree" -name '*.pieces' -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo
echo "archive $archive_bytes bytes; its piece list $lists_total bytes; $(nproc) processors; $(wine --version 2>/dev/null)"
echo "origin storage beside the files for release A: $store_objects piece objects, $store_bytes bytes ($(ratio "$store_bytes" "$archive_bytes") x the archive), block sums $store_sums bytes"
echo "load: $(uptime)"
