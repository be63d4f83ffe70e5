#!/usr/bin/env bash
# Soak of the update host behind Traffic Server cache edges: players (real
# Update Workers under Wine, each with its own install directory and Game
# Library) sync and install, update or verify one product in a loop through
# the edges, now and then with the Worker killed mid-job, while the publisher
# publishes new releases (documents, manifest and files all change; the large
# file by pieces). Prints per kind what the players saw, the requests and
# bytes at the origin against those the players received (the offload
# ratio), and how long after the last publish every player had the last
# release; then copies of one player update by pieces through one edge, the
# first alone and the others at once, and the origin's offload for those.
#   ./bench/cdn_soak.sh [players] [edges: 1|2] [publishes] [seconds between publishes]
#   (defaults 6 2 5 20; from the repository root, after ./scripts/build.sh)
# With ORV_SOAK_CHECK=1 it exits 1 when a job committed a file that does not
# match its manifest or a player did not reach the last release.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build
players=${1:-6} edges=${2:-2} publishes=${3:-5} interval=${4:-20}
[ "$edges" = 1 ] || [ "$edges" = 2 ] || { echo "cdn_soak: edges is 1 or 2" >&2; exit 2; }
if [ -z "${ORV_SOAK_NET:-}" ]; then
  # Traffic Server is installed here, before the private network (the suite's
  # short round, ORV_SOAK_CHECK=1, only skips without it).
  if [ "${ORV_SOAK_CHECK:-0}" != 1 ] && [ "$(id -u)" -eq 0 ]; then
    . "$repo/bench/bench-packages.sh"
    bench_install traffic_server:trafficserver
  fi
  export ORV_SOAK_NET=1
  exec "$repo/scripts/private-net" "$build" "$0" "$@"
fi
[ "$(id -u)" -eq 0 ] || { echo "cdn_soak: needs root (port 443, a second loopback edge)"; exit 77; }
command -v traffic_server >/dev/null || { echo "cdn_soak: trafficserver is not installed"; exit 77; }

soak=${ORV_SOAK_DIR:-$build/cdn-soak}
tool=$build/native/orvelant-release
key=$build/keys/update-signing.pem
monitor=$build/tools/worker-monitor.exe
worker_exe="$build/bin/ORVELANT Update Worker.exe"
origin_port=8443
rm -rf "$soak"
mkdir -p "$soak"/{game,manifests,players,runs}
state=$soak/origin tree=$soak/tree

winpath() { echo "Z:${1//\//\\}"; }
stop_all() {
  local e
  for e in 1 2; do "$repo/host/edge-stop.sh" "$soak/edge$e" >/dev/null 2>&1 || true; done
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
}
trap 'touch "$soak/stop"; wait 2>/dev/null || true; stop_all' EXIT

# The prefixes: players of edge 1 resolve localhost to 127.0.0.1, those of
# edge 2 (their own prefix, in their own mount namespace) to 127.0.0.2.
prefix1=$build/wineprefix
prefix2=$build/wineprefix-soak2
"$repo/scripts/wine-prefix.sh" "$prefix1" >/dev/null
if [ "$edges" = 2 ] && [ ! -f "$prefix2/.orvelant-ready" ]; then
  rm -rf "$prefix2"
  WINEPREFIX=$prefix1 wineserver -w 2>/dev/null || true
  cp -a "$prefix1" "$prefix2"
fi
printf '127.0.0.2 localhost\n' >"$soak/hosts-edge2"

# release <n>: the product's files of release n and the published tree.
release() {
  local n=$1
  rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
  cp "$build/samples/ORVELANT.exe" "$soak/game/ORVELANT.exe"
  mkdir -p "$soak/game/data"
  rand "world-$n" 1572864 >"$soak/game/data/world.pak"      # changes every release
  rand "music" 524288 >"$soak/game/data/music.pak"          # never changes
  printf 'release=%s\r\n' "$n" >"$soak/game/data/release.txt"
  # Large enough to travel by pieces: each release rewrites 512 KiB in one
  # place and 16 KiB in eight others of the same 24 MiB.
  [ -f "$soak/levels-base.pak" ] || rand levels 25165824 >"$soak/levels-base.pak"
  cp "$soak/levels-base.pak" "$soak/game/data/levels.pak"
  local k
  for k in 0 1 2 3 4 5 6 7 8; do
    local size=16384 at=$(( ((n * 7919 + k * 104729) % 1500) * 16384 ))
    [ "$k" = 0 ] && size=524288
    [ "$n" = 0 ] || rand "levels-$n-$k" "$size" |
      dd of="$soak/game/data/levels.pak" bs=16384 seek=$((at / 16384)) conv=notrunc status=none
  done
  cat >"$soak/release.txt" <<TXT
host = localhost
signing_key = $key
keep_releases = 2
keep_days = 0
[control]
signal = SIGNAL // RELEASE $n
[news]
title = RELEASE $n // LIVE
[product soak-game]
title = SOAK
install_dir = soak-game
executable = ORVELANT.exe
manifest_path = /games/soak-game/stable/manifest.json
folder = game
version = 1.$n.0
TXT
  "$tool" publish "$soak/release.txt" "$tree" >/dev/null
  cp "$tree/games/soak-game/stable/manifest.json" "$soak/manifests/1.$n.0.json"
}

release 0
ORVELANT_HOST_PORT=$origin_port "$repo/host/start.sh" "$state" "$tree" >/dev/null
"$repo/host/edge-start.sh" "$soak/edge1" "$state" 127.0.0.1 $origin_port >/dev/null
[ "$edges" = 2 ] && "$repo/host/edge-start.sh" "$soak/edge2" "$state" 127.0.0.2 $origin_port >/dev/null
ca=$(winpath "$state/certs/ca.crt")
"$repo/scripts/wine-run" "$prefix1" "$build/tools/trust-ca.exe" "$ca" >/dev/null
if [ "$edges" = 2 ]; then
  WINEPREFIX=$prefix2 wineserver -k 2>/dev/null || true
  unshare -m sh -c "mount --bind '$soak/hosts-edge2' /etc/hosts && '$repo/scripts/wine-run' '$prefix2' '$build/tools/trust-ca.exe' '$ca'" >/dev/null
  WINEPREFIX=$prefix2 wineserver -k 2>/dev/null || true
fi

# player <i>: sync, then install or update, until the stop file appears; one
# line per run in runs/<i>: start end kind exit-code last-status.
player() {
  # A player keeps going whatever one of its runs does; every run is recorded.
  set +e
  local i=$1 dir=$soak/players/p$1 edge prefix
  edge=$(( (i % edges) + 1 ))
  prefix=$prefix1
  [ "$edge" = 2 ] && prefix=$prefix2
  mkdir -p "$dir/local"
  cp "$worker_exe" "$dir/"
  local exe local_dir
  exe=$(winpath "$dir/ORVELANT Update Worker.exe")
  local_dir=$(winpath "$dir/local")
  run() {
    local kind=$1 t0 t1 rc=0 out
    shift
    t0=$(date +%s.%N)
    out=$("$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$local_dir" "$exe" "$@" 2>>"$soak/runs/$i.err") || rc=$?
    [ "$rc" = 0 ] && [ -n "$out" ] || printf '%s %s rc=%s\n%s\n' "$t0" "$kind" "$rc" "$out" >>"$soak/runs/$i.err"
    t1=$(date +%s.%N)
    local last
    last=$(printf '%s\n' "$out" | awk '$3 == "status" { s = $4 } END { print s }')
    local version=-
    [ -f "$dir/local/ORVELANT/Games/soak-game/version.json" ] &&
      version=$(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$dir/local/ORVELANT/Games/soak-game/version.json")
    echo "$t0 $t1 $kind $rc ${last:-none} $version" >>"$soak/runs/$i"
  }
  # killed: a product job whose Worker is ended with TerminateProcess in the
  # middle of a download (when it has one); the next job resumes it.
  killed() {
    local t0 out rc=0
    t0=$(date +%s.%N)
    out=$("$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$local_dir" \
      --kill-at-transfer "$exe" "/parent:{parent}" /product:soak-game 2>/dev/null) || rc=$?
    local hit=0
    printf '%s\n' "$out" | grep -q "killed at the first transfer" && hit=1
    echo "$t0 $(date +%s.%N) killed $hit - -" >>"$soak/runs/$i"
  }
  local n=0 seen="" signal
  while [ ! -e "$soak/stop" ]; do
    n=$((n + 1))
    run sync /sync "/parent:{parent}"
    # The first job after a sync that brought a new release is killed while
    # it downloads the update, so the next one resumes it through the cache.
    signal=$(grep -o 'RELEASE [0-9]*' "$dir/control.json" 2>/dev/null)
    if [ -n "$signal" ] && [ -n "$seen" ] && [ "$signal" != "$seen" ]; then
      killed
    elif [ $((n % 4)) = 2 ]; then
      killed
    fi
    seen=$signal
    if [ $((n % 3)) = 0 ]; then
      run product "/parent:{parent}" /product:soak-game /repair
    else
      run product "/parent:{parent}" /product:soak-game
    fi
    # Only a job that reports the product current has committed anything.
    [ "$(tail -1 "$soak/runs/$i" | cut -d' ' -f5)" = PRODUCT_CURRENT ] && check_install "$i"
  done
}

# A committed install must equal one published manifest, the one its
# version.json names; anything else is a wrong pair that reached the disk.
check_install() {
  local i=$1 dir=$soak/players/p$1/local/ORVELANT/Games/soak-game version manifest
  [ -f "$dir/version.json" ] || return 0
  version=$(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$dir/version.json")
  manifest=$soak/manifests/$version.json
  local bad=0
  if [ ! -f "$manifest" ]; then
    bad=1
  else
    while IFS=$'\t' read -r path sha; do
      [ "$(sha256sum "$dir/$path" 2>/dev/null | cut -d' ' -f1)" = "$sha" ] || bad=1
    done < <(tr -d '\r' <"$manifest" | awk -F'"' '/"path":/ { p = $4 } /"sha256":/ { print p "\t" $4 }')
  fi
  [ "$bad" = 0 ] || echo "$(date +%s.%N) $version" >>"$soak/wrong-$i"
}

start=$(date +%s.%N)
pids=()
for ((i = 0; i < players; i++)); do
  edge=$(( (i % edges) + 1 ))
  if [ "$edge" = 2 ]; then
    export -f player check_install winpath
    export soak edges prefix1 prefix2 repo monitor worker_exe
    unshare -m bash -c "mount --bind '$soak/hosts-edge2' /etc/hosts && player $i" &
  else
    player "$i" &
  fi
  pids+=($!)
  sleep 0.3
done

sleep "$interval"
for ((n = 1; n <= publishes; n++)); do
  release "$n"
  echo "$(date +%s.%N) 1.$n.0" >>"$soak/publishes"
  [ "$n" -lt "$publishes" ] && sleep "$interval"
done
last_publish=$(tail -1 "$soak/publishes" | cut -d' ' -f1)
last_version=1.$publishes.0

# Players run until each has completed a job on the last release, or 180 s.
deadline=$(( $(date +%s) + 180 ))
while [ "$(date +%s)" -lt "$deadline" ]; do
  done_players=0
  for ((i = 0; i < players; i++)); do
    awk -v t="$last_publish" -v v="$last_version" '$3 == "product" && $1 > t && $4 == 0 && $6 == v { f = 1 } END { exit !f }' \
      "$soak/runs/$i" 2>/dev/null && done_players=$((done_players + 1))
  done
  [ "$done_players" = "$players" ] && break
  sleep 1
done
touch "$soak/stop"
wait "${pids[@]}" 2>/dev/null || true
end=$(date +%s.%N)

# --- updates by piece objects: one player, then many at once, through edge 1 -
# Copies of player 0 (on the last release) update to one more release whose
# large file changed in a few places: the first alone, then the others
# together. What the origin sent for the others against what they received
# is the edge's offload for an update by pieces.
# ORV_SOAK_PIECE_PLAYERS: how many (default 20; 2 in the suite's short round).
piece_default=20
[ "${ORV_SOAK_CHECK:-0}" = 1 ] && piece_default=2
piece_players=${ORV_SOAK_PIECE_PLAYERS:-$piece_default}
edge_lines() { cat "$soak/edge1/logs/access.log" 2>/dev/null | wc -l; }
edge_sent_since() { tail -n +"$(($1 + 1))" "$soak/edge1/logs/access.log" | awk '{ s += $5 } END { print s + 0 }'; }
origin_since() { tail -n +"$(($1 + 1))" "$state/logs/access.log" | awk -v w="$2" '$7 ~ w { n++; s += $10 } END { print n + 0, s + 0 }'; }
piece_update() {  # <k>: one Worker of copy k; records its exit code and version
  local dir=$soak/pieces/p$1 rc=0
  "$repo/scripts/wine-run" "$prefix1" "$monitor" --env "LOCALAPPDATA=$(winpath "$dir/local")" \
    "$(winpath "$dir/ORVELANT Update Worker.exe")" "/parent:{parent}" /product:soak-game \
    >/dev/null 2>&1 || rc=$?
  echo "$1 $rc $(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$dir/local/ORVELANT/Games/soak-game/version.json")" \
    >>"$soak/pieces/results"
}
if [ "$piece_players" -gt 0 ]; then
  mkdir -p "$soak/pieces"
  for ((k = 0; k <= piece_players; k++)); do cp -a "$soak/players/p0" "$soak/pieces/p$k"; done
  release $((publishes + 1))
  sleep 6  # Traffic Server writes its log every few seconds
  e0=$(edge_lines) o0=$(wc -l <"$state/logs/access.log")
  piece_update 0
  sleep 6
  e1=$(edge_lines) o1=$(wc -l <"$state/logs/access.log")
  for ((k = 1; k <= piece_players; k++)); do piece_update "$k" & done
  wait
  sleep 6
  e2=$(edge_lines)
  read -r first_objects first_object_bytes < <(tail -n +"$((o0 + 1))" "$state/logs/access.log" | head -n $((o1 - o0)) |
    awk '$7 ~ "^/content/" { n++; s += $10 } END { print n + 0, s + 0 }')
  read -r rest_requests rest_bytes < <(origin_since "$o1" .)
  read -r rest_objects rest_object_bytes < <(origin_since "$o1" "^/content/")
  rest_player_bytes=$(edge_sent_since "$e1")
  rest_player_objects=$(tail -n +"$((e1 + 1))" "$soak/edge1/logs/access.log" | awk '$3 ~ "^/?content/"' | wc -l)
  updated=$(awk -v v="1.$((publishes + 1)).0" '$2 == 0 && $3 == v' "$soak/pieces/results" | wc -l)
  by_pieces=$(cat "$soak"/pieces/p*/logs/updater.log 2>/dev/null | tr -d '\r' | grep -c "whole file" || true)
  # Piece objects the origin sent whole more than once in the whole phase.
  twice=$(tail -n +"$((o0 + 1))" "$state/logs/access.log" |
    awk '$7 ~ "^/content/" && $9 == 200 { n[$7]++ } END { for (p in n) if (n[p] > 1) c++; print c + 0 }')
fi
sleep 6  # Traffic Server writes its log every few seconds
stop_all

# --- the report ------------------------------------------------------------
logs=("$soak"/players/p*/logs/updater.log)
count() { cat "${logs[@]}" 2>/dev/null | tr -d '\r' | grep -c -- "$1" || true; }
runs_of() { for f in "$soak"/runs/*; do [[ $f == *.err ]] || cat "$f"; done | awk -v k="$1" '$3 == k'; }
kills=$(runs_of killed | awk '$4 == 1' | wc -l)
syncs=$(runs_of sync | wc -l)
syncs_ok=$(runs_of sync | awk '$5 == "SYNC_DONE"' | wc -l)
jobs=$(runs_of product | wc -l)
jobs_failed=$(runs_of product | awk '$4 != 0 || $5 == "PRODUCT_FAILED"' | wc -l)
installs=$(runs_of product | awk '$5 == "PRODUCT_CURRENT"' | wc -l)
wrong=$( (cat "$soak"/wrong-* 2>/dev/null || true) | wc -l)
sig_fail=$(count "signature verification failed")
hash_fail=$(count "Staged SHA-256 mismatch")
resumed_bad=$(count "Resumed staged file failed SHA-256")
origin_log=$state/logs/access.log
not_found=$(awk '$9 == 404' "$origin_log" | wc -l)
origin_requests=$(wc -l <"$origin_log")
origin_bytes=$(awk '{ s += $10 } END { print s + 0 }' "$origin_log")
player_requests=0 player_bytes=0
for e in $(seq "$edges"); do
  f=$soak/edge$e/logs/access.log
  [ -f "$f" ] || continue
  player_requests=$((player_requests + $(wc -l <"$f")))
  player_bytes=$((player_bytes + $(awk '{ s += $5 } END { print s + 0 }' "$f")))
done
convergence=$(for ((i = 0; i < players; i++)); do
  awk -v t="$last_publish" -v v="$last_version" '$3 == "product" && $1 > t && $4 == 0 && $6 == v { print $2 - t; exit }' "$soak/runs/$i"
done | sort -n | tail -1)
converged=$(for ((i = 0; i < players; i++)); do
  awk -v t="$last_publish" -v v="$last_version" '$3 == "product" && $1 > t && $4 == 0 && $6 == v { print; exit }' "$soak/runs/$i"
done | wc -l)

printf '\nCDN soak: %s players through %s Traffic Server edge(s), %s publishes every %s s, %.0f s in all\n' \
  "$players" "$edges" "$publishes" "$interval" "$(echo "$end - $start" | bc)"
printf '  %-46s %8s\n' "syncs (ended SYNC_DONE)" "$syncs_ok / $syncs" \
  "launcher documents accepted" "$((3 * syncs_ok))" \
  "product jobs (ended PRODUCT_CURRENT)" "$installs / $jobs" \
  "  of them installs or updates committed" "$(count "Product update committed successfully")" \
  "signature failures" "$sig_fail" \
  "signed documents refused (serial/expiry)" "$(count "Signed document refused")" \
  "  older than trusted / one serial, two bodies" "$(count "is lower than the trusted serial") / $(count "trusted with other content")" \
  "  not what the control document names" "$(count "the control document names")" \
  "  expired" "$(count ": expired at ")" \
  "file hash failures (Staged SHA-256 mismatch)" "$hash_fail" \
  "resumed files that failed and were refetched" "$resumed_bad" \
  "Workers killed mid-job / range resumes accepted" "$kills / $(count "HTTP Range resume accepted")" \
  "complete staged files kept on a 200 to the range" "$(count "Staged file already complete")" \
  "404 answers at the origin" "$not_found" \
  "jobs failed" "$jobs_failed" \
  "jobs that committed files not matching" "$wrong"
printf '  %-46s %8s\n' "origin: requests / bytes" "$origin_requests / $origin_bytes" \
  "players: requests / bytes (edge logs)" "$player_requests / $player_bytes"
if [ "$origin_bytes" -gt 0 ]; then
  printf '  %-46s %8s\n' "offload ratio (player bytes / origin bytes)" "$(echo "scale=2; $player_bytes / $origin_bytes" | bc)"
fi
printf '  %-46s %8s\n' "players on $last_version after the last publish" "$converged / $players" \
  "convergence after the last publish (s)" "${convergence:-none}"

if [ "$piece_players" -gt 0 ]; then
  printf '\nUpdate by pieces through edge 1: 1 player, then %s at once (%s of %s reached 1.%s.0; %s fell back to whole files)\n' \
    "$piece_players" "$updated" "$((piece_players + 1))" "$((publishes + 1))" "$by_pieces"
  printf '  %-46s %8s\n' "origin for the first: object requests / bytes" "$first_objects / $first_object_bytes" \
    "players after the first: object requests / bytes" "$rest_player_objects / $rest_player_bytes" \
    "origin for them: requests / bytes (all paths)" "$rest_requests / $rest_bytes" \
    "origin for them: piece objects / bytes" "$rest_objects / $rest_object_bytes" \
    "objects the origin sent whole more than once" "$twice"
  [ "$rest_player_bytes" -gt 0 ] &&
    printf '  %-46s %7s%%\n' "origin offload for them (1 - origin/player bytes)" \
      "$(echo "scale=2; 100 - 100 * $rest_bytes / $rest_player_bytes" | bc)"
fi

if [ "${ORV_SOAK_CHECK:-0}" = 1 ]; then
  [ "$wrong" = 0 ] || { echo "FAIL: $wrong jobs committed files that match no manifest"; exit 1; }
  [ "$converged" = "$players" ] || { echo "FAIL: only $converged of $players players reached $last_version"; exit 1; }
  [ "$installs" -gt 0 ] || { echo "FAIL: no job completed"; exit 1; }
  [ "$piece_players" = 0 ] || [ "$updated" = "$((piece_players + 1))" ] ||
    { echo "FAIL: only $updated of $((piece_players + 1)) players updated by pieces"; exit 1; }
  [ "$piece_players" = 0 ] || [ "$by_pieces" = 0 ] ||
    { echo "FAIL: $by_pieces updates by pieces fell back to whole files"; exit 1; }
  [ "$piece_players" = 0 ] || [ "$twice" = 0 ] ||
    { echo "FAIL: the origin sent $twice piece objects more than once"; exit 1; }
  echo "ok"
fi
