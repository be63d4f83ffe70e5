#!/usr/bin/env bash
# Chaos soak of the Update Worker's product jobs: a product published by the
# release tool (packs of small files, a large file by piece objects that a
# first install fetches in ranges, scattered edits and an insertion in it
# between releases), one player (a real Worker under Wine, its own install
# directory and Game Library on a small tmpfs). Each round picks a job
# (install, update to a release published for the round, repair of a damaged
# install, or the check the Shell runs before PLAY) and one or more faults:
#   kill   the Worker is killed at a random moment (kill -9 of its process)
#   net    a relay in front of the host resets, cuts or stalls a share of the
#          connections after a random number of bytes (bench/fault_relay.py)
#   full   the Game Library volume is filled to its last 2 MiB
#   held   a product file is held open by another process (a running game)
# then the same job once more without faults. After every run: a product
# that carries the known-good marker holds exactly the release its
# version.json names; the transfer posts keep their pace (no flood of "0 MiB
# left", the sign of figures past their total). After every clean run: it
# holds the newest release; what the host sent beyond the bytes of the files
# that were missing; what is left in the staging area.
#   ./bench/chaos_soak.sh [rounds]   (default 100; after ./scripts/build.sh)
# With ORV_SOAK_CHECK=1 it exits 1 when a known-good product was mixed or a
# clean run did not end current on the newest release (the suite's short
# round). Root only (a private network and mount namespace, port 443).
set -euo pipefail
# A step that fails ends the soak: say which.
trap 'echo "chaos_soak: stopped at line $LINENO (exit $?)" >&2' ERR
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build
rounds=${1:-100}
if [ -z "${ORV_CHAOS_NET:-}" ]; then
  export ORV_CHAOS_NET=1
  exec "$repo/scripts/private-net" "$build" "$0" "$@"
fi
[ "$(id -u)" -eq 0 ] || { echo "chaos_soak: needs root (port 443, a tmpfs)"; exit 77; }
if [ -z "${ORV_CHAOS_MNT:-}" ]; then
  export ORV_CHAOS_MNT=1
  exec unshare -m --propagation private -- "$0" "$@"
fi

soak=${ORV_SOAK_DIR:-$build/chaos-soak}
tool=$build/native/orvelant-release
key=$build/keys/update-signing.pem
monitor=$build/tools/worker-monitor.exe
holder=$build/tools/hold-file.exe
worker_exe=$build/tests/bin/worker-with-test-hooks.exe
prefix=$build/wineprefix
host_port=8443
for f in "$tool" "$monitor" "$holder" "$worker_exe"; do
  [ -e "$f" ] || { echo "chaos_soak: $f is missing: run ./scripts/build.sh first" >&2; exit 2; }
done
if mountpoint -q "$soak/player/local/ORVELANT/Games" 2>/dev/null; then umount "$soak/player/local/ORVELANT/Games"; fi
rm -rf "$soak"
mkdir -p "$soak"/{game,manifests,player/local/ORVELANT/Games}
state=$soak/origin tree=$soak/tree player=$soak/player
lib=$player/local/ORVELANT/Games
product=$lib/soak-game
staging=$player/.orvelant-staging
mount -t tmpfs -o size=96m orvelant-chaos "$lib"
relay_pid=
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  umount "$lib" 2>/dev/null || true
}
trap cleanup EXIT
winpath() { echo "Z:${1//\//\\}"; }
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }

# release <n>: release n of the product, published into the host tree.
release() {
  local n=$1 k
  cp "$build/samples/ORVELANT.exe" "$soak/game/ORVELANT.exe"
  mkdir -p "$soak/game/data/small"
  if [ "$n" = 0 ]; then
    for k in $(seq -w 0 149); do rand "small-$k" $((2048 + 97 * 10#$k)) >"$soak/game/data/small/f$k.bin"; done
    rand levels 25165824 >"$soak/levels-base.pak"
  fi
  for k in 1 2 3; do  # three small files change each release
    local f; f=$(printf 'f%03d' $(( (n * 37 + k * 53) % 150 )))
    rand "small-$n-$k" $((1024 + 512 * k)) >"$soak/game/data/small/$f.bin"
  done
  rand "world-$n" 1572864 >"$soak/game/data/world.pak"
  # Scattered edits of 16 KiB and 64 KiB inserted, at places of this release.
  local at=$(( (n * 7919 % 1400 + 32) * 16384 ))
  { head -c "$at" "$soak/levels-base.pak"; [ "$n" = 0 ] || rand "insert-$n" 65536
    tail -c +$((at + 1)) "$soak/levels-base.pak"; } >"$soak/game/data/levels.pak"
  for k in 1 2 3 4; do
    [ "$n" = 0 ] && break
    rand "levels-$n-$k" 16384 | dd of="$soak/game/data/levels.pak" bs=16384 \
      seek=$(( (n * 104729 + k * 3571) % 1500 )) conv=notrunc status=none
  done
  cat >"$soak/release.txt" <<TXT
host = localhost
signing_key = $key
keep_releases = 3
keep_days = 0
[product soak-game]
title = CHAOS
install_dir = soak-game
executable = ORVELANT.exe
manifest_path = /games/soak-game/stable/manifest.json
folder = game
version = 1.$n.0
TXT
  "$tool" publish "$soak/release.txt" "$tree" >/dev/null
  cp "$tree/games/soak-game/stable/manifest.json" "$soak/manifests/1.$n.0.json"
  newest=1.$n.0
}

release 0
ORVELANT_HOST_PORT=$host_port "$repo/host/start.sh" "$state" "$tree" >/dev/null
echo "none 0" >"$soak/relay-mode"
python3 "$repo/bench/fault_relay.py" 443 $host_port "$soak/relay-mode" "$soak/relay.log" >"$soak/relay.out" &
relay_pid=$!
for _ in $(seq 50); do grep -q ready "$soak/relay.out" 2>/dev/null && break; sleep 0.1; done
"$repo/scripts/wine-prefix.sh" "$prefix" >/dev/null
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
"$repo/scripts/wine-run" "$prefix" "$build/tools/trust-ca.exe" "$(winpath "$state/certs/ca.crt")" >/dev/null
cp "$worker_exe" "$player/ORVELANT Update Worker.exe"
exe=$(winpath "$player/ORVELANT Update Worker.exe")

# The files of a manifest whose local copy is not the listed one: "<bytes>".
missing_bytes() {
  tr -d '\r' <"$soak/manifests/$1.json" |
    awk -F'"' '/"path":/ { p = $4 } /"sha256":/ { s = $4 } /"size":/ { match($0, /"size": *[0-9]+/); z = substr($0, RSTART, RLENGTH); sub(/.*: */, "", z); print p "\t" s "\t" z }' |
    while IFS=$'\t' read -r path sha size; do
      [ "$(sha256sum "$product/${path//\\//}" 2>/dev/null | cut -d' ' -f1)" = "$sha" ] || echo "$size"
    done | awk '{ s += $1 } END { print s + 0 }'
}
# 0 when the product has no marker or holds exactly the release version.json names.
check_known_good() {
  [ -f "$product/.orvelant-known-good" ] || return 0
  local version
  version=$(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$product/version.json" 2>/dev/null)
  [ -f "$soak/manifests/$version.json" ] || return 1
  [ "$(missing_bytes "$version")" = 0 ]
}
version_now() { sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$product/version.json" 2>/dev/null; }
# More "0 MiB left" posts than the one that reaches the total and the job's
# last: the figures passed their total and the posts lost their pace.
flooded() { [ "$(grep -c ', 0 MiB left' "$1")" -gt 2 ]; }
# The Linux pid of the soak's own running Worker, or nothing: only the one
# in this soak's player folder (another Worker on the machine, a test's or a
# benchmark's, is never touched).
worker_pid() {
  local p arg0 mine="*${soak##*/}?player?ORVELANT Update Worker.exe"
  for p in /proc/[0-9]*; do
    { IFS= read -r -d '' arg0 <"$p/cmdline"; } 2>/dev/null || continue
    # shellcheck disable=SC2053
    [[ $arg0 == $mine ]] && { echo "${p#/proc/}"; return 0; }
  done
  return 0
}
# job <out> <args...>: one Worker run under the monitor; its exit code.
job() {
  local out=$1 rc=0
  shift
  "$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$(winpath "$player/local")" \
    --env "ORV_TEST_SEGMENT_BYTES=4194304" "$exe" "/parent:{parent}" /product:soak-game "$@" \
    >"$out" 2>&1 || rc=$?
  return $rc
}
sent_since() { tail -n +"$(($1 + 1))" "$state/logs/access.log" | awk '{ s += $10 } END { print s + 0 }'; }

# The catalog names the product: the Worker reads the catalog the Shell keeps.
"$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$(winpath "$player/local")" \
  "$exe" /sync "/parent:{parent}" >/dev/null 2>&1 || true

declare -A count
for k in runs kills net full held transient transient_ok mixed clean clean_ok flood leftovers; do count[$k]=0; done
worst_refetch=0 n=0
for ((r = 1; r <= rounds; r++)); do
  case $((RANDOM % 4)) in
    0) kind=install; rm -rf "$product" ;;
    1) kind=update; n=$((n + 1)); release "$n" ;;
    2) kind=repair
       [ -f "$product/data/levels.pak" ] && printf 'damaged' |
         dd of="$product/data/levels.pak" bs=1 seek=$((RANDOM * 512)) conv=notrunc status=none 2>/dev/null
       rm -f "$product/data/small/f0$((RANDOM % 50 + 10)).bin" ;;
    *) kind=check ;;
  esac
  args=()
  [ "$kind" = repair ] && args=(/repair)
  kill_it=$((RANDOM % 2)) net=$((RANDOM % 2)) full=$((RANDOM % 8 == 0)) held=$((RANDOM % 8 == 0))
  [ "$held" = 1 ] && [ ! -f "$product/data/world.pak" ] && held=0
  if [ "$net" = 1 ]; then
    faults=(reset cut stall)
    echo "${faults[$((RANDOM % 3))]} 30" >"$soak/relay-mode"
  fi
  if [ "$full" = 1 ]; then
    avail=$(df --output=avail -B1 "$lib" | tail -1)
    [ "$avail" -gt 2097152 ] && head -c $((avail - 2097152)) /dev/zero >"$lib/filler" 2>/dev/null || true
  fi
  hold_job=
  if [ "$held" = 1 ]; then
    "$repo/scripts/wine-run" "$prefix" "$holder" "$(winpath "$product/data/world.pak")" 20 >/dev/null 2>&1 &
    hold_job=$!
    sleep 1
  fi
  out=$soak/run-$r.txt
  job "$out" "${args[@]}" &
  pid=$!
  if [ "$kill_it" = 1 ]; then
    sleep "$((RANDOM % 40 / 10)).$((RANDOM % 10))"
    w=$(worker_pid)
    [ -n "$w" ] && kill -9 "$w" 2>/dev/null && count[kills]=$((count[kills] + 1))
  fi
  rc=0
  wait "$pid" || rc=$?
  count[runs]=$((count[runs] + 1))
  [ "$net" = 1 ] && count[net]=$((count[net] + 1))
  [ "$full" = 1 ] && count[full]=$((count[full] + 1))
  [ "$held" = 1 ] && count[held]=$((count[held] + 1))
  if [ "$net" = 1 ] && [ "$kill_it" = 0 ] && [ "$full" = 0 ] && [ "$held" = 0 ]; then
    count[transient]=$((count[transient] + 1))
    [ "$rc" = 0 ] && count[transient_ok]=$((count[transient_ok] + 1))
  fi
  flooded "$out" && count[flood]=$((count[flood] + 1))
  # A repair stopped before it read the files leaves the damage this soak
  # made under the marker: that is the player's disk, not a mixed release.
  if [ "$kind" != repair ] || [ "$rc" = 0 ]; then
    check_known_good || { count[mixed]=$((count[mixed] + 1)); echo "round $r: $kind known-good but mixed" >>"$soak/verdicts"; }
  fi
  # The faults go; the same job once more.
  echo "none 0" >"$soak/relay-mode"
  rm -f "$lib/filler"
  [ -n "$hold_job" ] && { kill "$hold_job" 2>/dev/null; WINEPREFIX=$prefix wine taskkill /f /im hold-file.exe >/dev/null 2>&1 || true; wait "$hold_job" 2>/dev/null || true; }
  missing=$(missing_bytes "$newest")
  mark=$(wc -l <"$state/logs/access.log")
  rc=0
  job "$soak/clean-$r.txt" "${args[@]}" || rc=$?
  sent=$(sent_since "$mark")
  count[clean]=$((count[clean] + 1))
  flooded "$soak/clean-$r.txt" && count[flood]=$((count[flood] + 1))
  if [ "$rc" = 0 ] && [ "$(version_now)" = "$newest" ] && [ "$(missing_bytes "$newest")" = 0 ]; then
    count[clean_ok]=$((count[clean_ok] + 1))
  else
    echo "round $r: $kind clean run rc=$rc version=$(version_now) newest=$newest" >>"$soak/verdicts"
  fi
  check_known_good || { count[mixed]=$((count[mixed] + 1)); echo "round $r: clean run known-good but mixed" >>"$soak/verdicts"; }
  beyond=$((sent - missing))
  [ "$beyond" -gt "$worst_refetch" ] && worst_refetch=$beyond
  left=$(find "$staging" -type f 2>/dev/null | wc -l || true)  # no staging folder at all: 0
  count[leftovers]=$((count[leftovers] + left))
  printf 'round %d: %-7s kill=%d net=%d full=%d held=%d -> clean rc=%d, sent %d for %d missing, %d left in staging\n' \
    "$r" "$kind" "$kill_it" "$net" "$full" "$held" "$rc" "$sent" "$missing" "$left"
done

echo
echo "runs with faults: ${count[runs]} (kills ${count[kills]}, network ${count[net]}, full volume ${count[full]}, held file ${count[held]})"
echo "faults dealt by the relay: $(grep -cv '^ok ' "$soak/relay.log" 2>/dev/null || echo 0) of $(wc -l <"$soak/relay.log" 2>/dev/null || echo 0) connections"
if [ "${count[transient]}" -gt 0 ]; then
  echo "network faults alone: ${count[transient_ok]} of ${count[transient]} ended current ($((100 * count[transient_ok] / count[transient])) %)"
fi
echo "known-good but mixed: ${count[mixed]}"
echo "clean runs current on the newest release: ${count[clean_ok]} of ${count[clean]}"
echo "runs whose transfer posts flooded at 0 MiB left: ${count[flood]}"
echo "largest fetch of a clean run beyond the missing files' bytes: $worst_refetch bytes"
echo "files left in staging after clean runs (summed): ${count[leftovers]}"
[ -f "$soak/verdicts" ] && cat "$soak/verdicts"
if [ "${ORV_SOAK_CHECK:-0}" = 1 ] &&
   { [ "${count[mixed]}" != 0 ] || [ "${count[clean_ok]}" != "${count[clean]}" ]; }; then
  exit 1
fi
exit 0
