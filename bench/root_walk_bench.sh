#!/usr/bin/env bash
# What the root-of-trust walk adds to a sync when nothing changed: this
# build's Worker (which asks the host for root N+1 before the documents) and
# the previous release's Worker (no walk; tests/previous-release) sync the
# same signed tree, alternately, ORV_ROOT_SYNCS times each (default 9), over
# each link of ORV_ROOT_LINKS (bench/linkemu; default a fast link with no
# delay and 200 Mbit/s with a 40 ms round trip). Printed per link: median
# wall time per sync of each, their ratio, and the requests and body bytes
# per sync from the host's access log (the walk's own requests apart).
#   ./bench/root_walk_bench.sh     (root; after ./scripts/build.sh and a
#                                   previous_release.build test run)
set -euo pipefail
export ORV_BENCH_PREFIXES=${ORV_BENCH_PREFIXES:-$(cd "$(dirname "$0")/.." && pwd)/build/bench-root}
ORV_BENCH_PACKAGES="g++:g++ ip:iproute2 nsenter:util-linux openssl:openssl"
. "$(dirname "$0")/bench-env.sh"
. "$repo/bench/linkemu/link.sh"

links=${ORV_ROOT_LINKS:-10000:0 200:40}
syncs=${ORV_ROOT_SYNCS:-9}
tool=$build/native/orvelant-release
monitor=$build/tools/worker-monitor.exe
trust_ca=$build/tools/trust-ca.exe
new_worker="$build/bin/ORVELANT Update Worker.exe"
old_worker="$build/previous-release/bin/ORVELANT Update Worker.exe"
bench=$build/bench-root
prefix=$bench/wineprefix state=$bench/host-state scratch=$bench/run
log=$state/logs/access.log ca=$state/certs/ca.crt
link_bin=$bench/linkemu link_dir=$bench/link
die() { echo "root_walk_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (network namespaces, TUN devices)"
for f in "$tool" "$monitor" "$trust_ca" "$new_worker" "$old_worker"; do
  [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh and ctest -R previous_release.build first"
done
link_build "$link_bin"
cleanup() {
  local rc=$?
  set +e
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  link_down
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$scratch" "$bench/tree" "$bench/game"
mkdir -p "$scratch" "$bench/game"
printf 'MZ root walk bench' >"$bench/game/Game.exe"
printf '%s\n' "host = localhost" "signing_key = $build/keys/update-signing.pem" "[control]" \
  "service_state = normal" "installer_url = https://localhost/launcher/releases/v1/Setup.exe" \
  "[product b]" "title = B" "install_dir = b" "executable = Game.exe" \
  "manifest_path = /games/b/manifest.json" "folder = $bench/game" "version = 1" >"$bench/release.txt"
"$tool" publish "$bench/release.txt" "$bench/tree" >/dev/null

now_us() { local t=$EPOCHREALTIME; echo "${t//[.,]/}"; }
winpath() { echo "Z:${1//\//\\}"; }
wine_run() { link_client "$repo/scripts/wine-run" "$prefix" "$@" </dev/null; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
sync_once() {  # sync_once <new|old>: appends the wall ms to T_<which>
  local which=$1 install=$scratch/install-$1 t0 rc=0
  t0=$(now_us)
  wine_run "$monitor" "$(winpath "$install/ORVELANT Update Worker.exe")" /sync "/parent:{parent}" \
    >"$scratch/monitor.txt" 2>&1 || rc=$?
  grep -q SYNC_DONE "$scratch/monitor.txt" || { cat "$scratch/monitor.txt" >&2; die "$which sync failed ($rc)"; }
  eval "T_$which+=($((($(now_us) - t0) / 1000)))"
}

for l in $links; do
  rate=${l%%:*} rtt=${l##*:}
  link_up "$rate" "$rtt"
  ORVELANT_HOST_ADDRESS=$link_server_ip link_server "$repo/host/start.sh" "$state" "$bench/tree" localhost \
    >"$scratch/host.log" 2>&1 || die "host: $(cat "$scratch/host.log")"
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  wine_run "$trust_ca" "$(winpath "$ca")" >/dev/null 2>&1 || die "trust-ca failed"
  for which in new old; do
    rm -rf "$scratch/install-$which"; mkdir -p "$scratch/install-$which"
    cp "$([ $which = new ] && echo "$new_worker" || echo "$old_worker")" "$scratch/install-$which/"
  done
  T_new=() T_old=()
  sync_once new; sync_once old   # warm-up, not counted
  declare -A req=() bytes=()
  for i in $(seq 1 "$syncs"); do
    for which in $([ $((i % 2)) = 1 ] && echo new old || echo old new); do
      mark=$(stat -c %s "$log")
      sync_once $which
      read -r n b w wb < <(tail -c +"$((mark + 1))" "$log" |
        awk '{ n++; s += $10; if ($7 ~ /^\/launcher\/root\//) { w++; wb += $10 } } END { print n + 0, s + 0, w + 0, wb + 0 }')
      req[$which]=$n bytes[$which]=$b req[$which.walk]=$w bytes[$which.walk]=$wb
    done
  done
  mn=$(median "${T_new[@]}") mo=$(median "${T_old[@]}")
  echo "link $rate Mbit/s, $rtt ms round trip, median of $syncs syncs each:"
  echo "  this Worker     ${mn} ms, ${req[new]} requests, ${bytes[new]} body bytes per sync (the walk: ${req[new.walk]} requests, ${bytes[new.walk]} bytes)"
  echo "  previous Worker ${mo} ms, ${req[old]} requests, ${bytes[old]} body bytes per sync"
  echo "  ratio $(awk -v a="$mn" -v b="$mo" 'BEGIN { printf "%.2f", a / b }')x, the walk's share $(awk -v a="$mn" -v b="$mo" 'BEGIN { printf "%+.0f ms", a - b }')"
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  link_down >/dev/null
done
