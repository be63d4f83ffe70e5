#!/usr/bin/env bash
# The Update Worker on emulated long links (bench/linkemu), side by side in
# one run with curl and with the link's own speed. For each link (by default
# 200 Mbit/s with a 40 ms round trip, then 50 Mbit/s with 150 ms):
#   install  a first install of a product of 2,000 small files (1 to 16 KiB)
#            and one 256 MiB file;
#   update   the next release: 8 MiB inserted in the middle of the large file
#            and 50 small files changed.
# Each is measured for the Worker (a product job, run as the child of a window
# as the Shell runs it) with the small files' packs and again without them (the
# pack index hidden from the host, so every file travels alone), curl with 16 connections fetching the same whole
# files (curl --parallel --parallel-max 16), and curl over one kept-alive
# connection; requests and body bytes come from the host's access log. The
# link's own time is body bytes / rate + one round trip. The Worker's phases
# (start, manifest, verify, transfer, commit, exit) come from its own status
# posts as its window received them.
#   ./bench/wan_bench.sh        (root; from the repository root, after ./scripts/build.sh)
# Environment:
#   ORV_WAN_LINKS   "200:40 50:150"  links as <Mbit/s>:<round trip ms>, in order
#   ORV_WAN_QUEUE_KIB                the bottleneck's queue (default: one bandwidth-delay product)
#   ORV_WAN_FILES   2000             small files
#   ORV_WAN_BIG_MIB 256              the large file
#   ORV_WAN_INSERT_MIB 8             inserted into the large file by the update
#   ORV_WAN_CHANGED 50               small files the update changes
#   ORV_WAN_STEPS   "install update" what to measure (update needs install)
#   ORV_WAN_PEERS   "curl16 curl1"   the curl runs (curl1 takes as long as today's Worker)
#   ORV_WAN_PACKS   "packed unpacked" the Worker's runs: with the pack index, without it
#   ORV_WAN_CHECK_ONLY=1             only bring each link up and measure its round trip and rate
# Products stay in build/bench-wan/ (made once per size), with their own Wine prefix.
set -euo pipefail
export ORV_BENCH_PREFIXES=${ORV_BENCH_PREFIXES:-$(cd "$(dirname "$0")/.." && pwd)/build/bench-wan}
ORV_BENCH_PACKAGES="g++:g++ curl:curl ip:iproute2 nsenter:util-linux python3:python3 openssl:openssl"
. "$(dirname "$0")/bench-env.sh"
. "$repo/bench/linkemu/link.sh"

links=${ORV_WAN_LINKS:-200:40 50:150}
files=${ORV_WAN_FILES:-2000}
big_mib=${ORV_WAN_BIG_MIB:-256}
insert_mib=${ORV_WAN_INSERT_MIB:-8}
changed=${ORV_WAN_CHANGED:-50}
steps=${ORV_WAN_STEPS:-install update}
peers=${ORV_WAN_PEERS:-curl16 curl1}
variants=${ORV_WAN_PACKS:-packed unpacked}
MiB=1048576

tool=$build/native/orvelant-release
worker_exe="$build/bin/ORVELANT Update Worker.exe"
monitor=$build/tools/worker-monitor.exe
trust_ca=$build/tools/trust-ca.exe
key=$build/keys/update-signing.pem
bench=$build/bench-wan
prefix=$bench/wineprefix
state=$bench/host-state
ca=$state/certs/ca.crt
log=$state/logs/access.log
scratch=$bench/run
link_bin=$bench/linkemu
link_dir=$bench/link
export ORV_MONITOR_TIMEOUT_S=${ORV_MONITOR_TIMEOUT_S:-7200}

die() { echo "wan_bench: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (network namespaces, TUN devices)"
for f in "$tool" "$worker_exe" "$monitor" "$trust_ca" "$key"; do
  [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"
done
[ -c /dev/net/tun ] || die "no /dev/net/tun"
link_build "$link_bin"

now_us() { local t=$EPOCHREALTIME; echo "${t//[.,]/}"; }
secs() { awk -v u="$1" 'BEGIN { printf "%.1f", u / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
log_size() { stat -c %s "$log" 2>/dev/null || echo 0; }
# Requests and body bytes the host logged since a mark: sets n_req, n_bytes.
logged_since() {
  read -r n_req n_bytes < <(tail -c +"$(($1 + 1))" "$log" | awk '{ n++; s += $10 } END { print n + 0, s + 0 }')
}
winpath() { echo "Z:${1//\//\\}"; }

# The unpacked runs hide the product's pack index from the host.
hide_packs() { for f in "$1"/games/wan/manifest.json.packs{,.sig}; do [ -e "$f" ] && mv "$f" "$f.hidden"; done; return 0; }
show_packs() { for f in "$1"/games/wan/manifest.json.packs{,.sig}; do [ -e "$f.hidden" ] && mv "$f.hidden" "$f"; done; return 0; }

cleanup() {
  local rc=$?
  set +e
  show_packs "$bench/tree-1"; show_packs "$bench/tree-2"
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  link_down
  [ "$rc" = 0 ] && rm -rf "$scratch" || echo "scratch kept for a look: $scratch" >&2
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the two releases: made once per size, published once -------------------------
stamp="$files $big_mib $insert_mib $changed packs"
if [ "$(cat "$bench/games.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "making the product: $files small files and a $big_mib MiB file, and its update ..."
  rm -rf "$bench/games" "$bench/tree-1" "$bench/tree-2" "$bench/games.stamp"
  mkdir -p "$bench/games"
  python3 - "$bench/games" "$files" "$big_mib" "$insert_mib" "$changed" <<'PY'
import hashlib, os, shutil, subprocess, sys
root, n, big_mib, insert_mib, changed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
MiB = 1 << 20
def keystream(seed, size):
    return subprocess.run("head -c %d /dev/zero | openssl enc -aes-128-ctr -nosalt -pass pass:%s -pbkdf2" % (size, seed),
                          shell=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
def small(seed, size):
    block = hashlib.sha256(seed.encode()).digest()
    return (block * (size // 32 + 1))[:size]
v1, v2 = os.path.join(root, "v1"), os.path.join(root, "v2")
names = []
for i in range(n):
    name = "Game.exe" if i == 0 else os.path.join("data%02d" % (i // 500), "set%02d" % (i // 50 % 10), "f%05d.bin" % i)
    names.append(name)
    path = os.path.join(v1, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(b"MZ wan bench" if i == 0 else small("small-%d" % i, 1024 * (1 + i % 16)))
big = keystream("big", big_mib * MiB)
open(os.path.join(v1, "big.pak"), "wb").write(big)
shutil.copytree(v1, v2)
half = len(big) // 2
open(os.path.join(v2, "big.pak"), "wb").write(big[:half] + keystream("inserted", insert_mib * MiB) + big[half:])
step = max((n - 1) // max(changed, 1), 1)
for k in range(min(changed, n - 1)):
    i = 1 + k * step
    open(os.path.join(v2, names[i]), "wb").write(small("changed-%d" % i, 1024 * (1 + (i + 7) % 16)))
PY
  publish() {  # publish <folder> <version> <tree>
    printf '%s\n' "host = localhost" "signing_key = $key" "" "[product wan]" "title = WAN" \
      "install_dir = wan" "executable = Game.exe" "manifest_path = /games/wan/manifest.json" \
      "folder = $1" "version = $2" >"$bench/release.txt"
    "$tool" publish "$bench/release.txt" "$3" >/dev/null
  }
  echo "publishing ..."
  publish "$bench/games/v1" 1 "$bench/tree-1"
  cp -a "$bench/tree-1" "$bench/tree-2"
  publish "$bench/games/v2" 2 "$bench/tree-2"
  echo "$stamp" >"$bench/games.stamp"
fi

# The files of a release as curl config lines (url, output): all of them, or
# with "changed" only those whose digest differs from the other release's.
curl_list() {  # curl_list <tree> <out dir> [<other tree>]
  python3 - "$1/games/wan/manifest.json" "$2" "${3:+$3/games/wan/manifest.json}" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
old = {}
if sys.argv[3]:
    old = {e["path"]: e["sha256"] for e in json.load(open(sys.argv[3]))["files"]}
for e in doc["files"]:
    if old.get(e["path"]) == e["sha256"]:
        continue
    url = e["url"] if e["url"].startswith("https://") else "https://localhost" + ("" if e["url"].startswith("/") else "/") + e["url"]
    print('url = "%s"\noutput = "%s/%s"' % (url, sys.argv[2], e["path"].replace("\\", "/")))
PY
}
release_bytes() { du -sb --apparent-size "$bench/games/$1" | cut -f1; }

wine_run() { link_client "$repo/scripts/wine-run" "$prefix" "$@" </dev/null; }
# curl answers "localhost" itself (loopback) without asking /etc/hosts, so it
# is told the address across the link.
curl_client() { link_client curl --cacert "$ca" --http1.1 -s --resolve "localhost:443:$link_server_ip" "$@"; }

# run_worker <args...>: the Worker as the child of a window; sets w_rc, w_us.
run_worker() {
  local t0
  t0=$(now_us)
  w_rc=0
  wine_run "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" "$worker" "$@" >"$scratch/monitor.txt" 2>&1 || w_rc=$?
  w_us=$(($(now_us) - t0))
}
# phases <monitor output> <wall us>: the Worker's phases from its own status
# posts, as the window received them (ms after the monitor started it):
# start (process start to the first post), manifest (to "verifying"), verify
# (to the first transfer post), transfer (to the commit's first step, 82 %),
# commit (to "current") and exit (to the process's end, as timed outside).
phases() {
  awk -v wall="$2" '
    $3 == "status" { ms = $1; name = $4; pct = $5
      if (!("start" in t)) t["start"] = ms
      if (name == "PRODUCT_VERIFYING" && !("verify" in t)) t["verify"] = ms
      if (name == "PRODUCT_TRANSFER" && !("transfer" in t)) t["transfer"] = ms
      if (name == "PRODUCT_TRANSFER" && pct >= 82 && !("commit" in t)) t["commit"] = ms
      if (name == "PRODUCT_CURRENT") t["end"] = ms }
    END {
      if (!("transfer" in t)) t["transfer"] = t["end"]
      if (!("commit" in t)) t["commit"] = t["end"]
      printf "start %.1f manifest %.1f verify %.1f transfer %.1f commit %.1f exit %.1f",
        t["start"] / 1000, (t["verify"] - t["start"]) / 1000, (t["transfer"] - t["verify"]) / 1000,
        (t["commit"] - t["transfer"]) / 1000, (t["end"] - t["commit"]) / 1000, (wall / 1000 - t["end"]) / 1000 }' "$1"
}
# same_tree <release> <dir>: the folder holds exactly the release's files.
same_tree() {
  diff -rq "$bench/games/$1" "$2" -x .orvelant-known-good -x .orvelant-release-serial -x .orvelant-file-states -x version.json >"$scratch/diff" ||
    { head "$scratch/diff" >&2; die "$2 differs from release $1"; }
}

# use_variant <packed|unpacked>: the Worker's install folder and Game Library for it.
use_variant() {
  install=$scratch/install-$1 library=$scratch/localappdata-$1
  worker=$(winpath "$install/ORVELANT Update Worker.exe")
}

declare -A R
measure_link() {  # measure_link <Mbit/s> <RTT ms>
  local rate=$1 rtt=$2 k=$1:$2 mark t0 i
  link_up "$rate" "$rtt" "${ORV_WAN_QUEUE_KIB:-}"
  ORVELANT_HOST_ADDRESS=$link_server_ip link_server "$repo/host/start.sh" "$state" "$bench/tree-1" localhost \
    >"$scratch/host-start.log" 2>&1 || die "host: $(cat "$scratch/host-start.log")"
  # The link as TCP sees it: connect times (one round trip each), and one
  # connection's rate over the large file.
  for i in 1 2 3 4 5; do
    curl_client -o /dev/null -w '%{time_connect}\n' https://localhost/games/wan/manifest.json
  done >"$scratch/connect.txt" || die "curl cannot reach the host across the link"
  R[$k.connect_ms]=$(sort -n "$scratch/connect.txt" | sed -n 3p | awk '{ printf "%.1f", $1 * 1000 }')
  local big_url
  big_url=$(curl_list "$bench/tree-1" x | awk -F'"' '/^url/ { u = $2 } /^output/ && $2 ~ /big.pak$/ { print u }')
  curl_client -o /dev/null -w '%{size_download} %{time_total}\n' "$big_url" >"$scratch/rate.txt"
  R[$k.rate]=$(awk '{ printf "%.1f", $1 * 8 / $2 / 1e6 }' "$scratch/rate.txt")
  echo "link $rate Mbit/s, $rtt ms: TCP connect ${R[$k.connect_ms]} ms (median of 5), the large file over one new connection at ${R[$k.rate]} Mbit/s"
  if [ "${ORV_WAN_CHECK_ONLY:-0}" = 1 ]; then
    "$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
    link_down; sed 's/^/  /' "$link_dir/linkemu.log"; return 0
  fi

  # A fresh install folder and Game Library for each link and each of the
  # Worker's runs.
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  wine_run "$trust_ca" "$(winpath "$ca")" >/dev/null 2>&1 || die "trust-ca failed"
  local variant
  for variant in $variants; do
    use_variant "$variant"
    rm -rf "$install" "$library" && mkdir -p "$install" "$library"
    cp "$worker_exe" "$install/"
    run_worker /sync "/parent:{parent}"
    [ "$w_rc" = 0 ] || { cat "$scratch/monitor.txt" >&2; die "sync failed ($w_rc)"; }
  done

  local step peer tree other list
  for step in $steps; do
    if [ "$step" = update ]; then
      ORVELANT_HOST_ADDRESS=$link_server_ip link_server "$repo/host/start.sh" "$state" "$bench/tree-2" localhost \
        >"$scratch/host-start.log" 2>&1 || die "host: $(cat "$scratch/host-start.log")"
      tree=$bench/tree-2 other=$bench/tree-1 release=v2
    else
      tree=$bench/tree-1 other= release=v1
    fi
    for variant in $variants; do
      use_variant "$variant"
      [ "$variant" = unpacked ] && hide_packs "$tree"
      mark=$(log_size)
      run_worker "/parent:{parent}" /product:wan
      logged_since "$mark"
      show_packs "$tree"
      [ "$w_rc" = 0 ] && grep -q 'status    PRODUCT_CURRENT' "$scratch/monitor.txt" ||
        { sed 's/^/  /' "$scratch/monitor.txt" | tail -20 >&2; die "the Worker's $step ($variant) failed ($w_rc)"; }
      same_tree "$release" "$library/ORVELANT/Games/wan"
      R[$k.$step.$variant.s]=$(secs "$w_us") R[$k.$step.$variant.req]=$n_req R[$k.$step.$variant.bytes]=$n_bytes
      R[$k.$step.$variant.phases]=$(phases "$scratch/monitor.txt" "$w_us")
      cp "$scratch/monitor.txt" "$bench/monitor-${rate}-${rtt}-$step-$variant.txt"
      # The first of the Worker's runs is the one compared with curl and the link.
      if [ "$variant" = "${variants%% *}" ]; then
        R[$k.$step.worker_s]=$(secs "$w_us") R[$k.$step.worker_req]=$n_req R[$k.$step.worker_bytes]=$n_bytes
        R[$k.$step.phases]=${R[$k.$step.$variant.phases]}
      fi
      echo "  $step: Worker ($variant) $(secs "$w_us") s, $n_req requests, $n_bytes bytes; phases: ${R[$k.$step.$variant.phases]}"
    done
    for peer in $peers; do
      rm -rf "$scratch/curl" && mkdir -p "$scratch/curl"
      list=$scratch/curl.list
      curl_list "$tree" "$scratch/curl" $other >"$list"
      # An update's peer starts from the installed release and fetches the
      # changed files whole.
      [ "$step" = update ] && cp -a "$bench/games/v1/." "$scratch/curl/"
      local par=
      [ "$peer" = curl16 ] && par="--parallel --parallel-max 16"
      mark=$(log_size)
      t0=$(now_us)
      # shellcheck disable=SC2086
      curl_client $par --no-progress-meter --create-dirs --fail -K "$list" 2>"$scratch/curl.err" ||
        { head "$scratch/curl.err" >&2; die "$peer failed"; }
      local us=$(($(now_us) - t0))
      logged_since "$mark"
      same_tree "$release" "$scratch/curl"
      R[$k.$step.${peer}_s]=$(secs "$us") R[$k.$step.${peer}_req]=$n_req R[$k.$step.${peer}_bytes]=$n_bytes
      echo "  $step: $peer $(secs "$us") s, $n_req requests, $n_bytes bytes"
    done
    R[$k.$step.link_s]=$(awk -v b="${R[$k.$step.worker_bytes]}" -v r="$rate" -v t="$rtt" \
      'BEGIN { printf "%.1f", b * 8 / (r * 1e6) + t / 1000 }')
    # Every byte the Worker moved (documents included) plus six round trips:
    # the connection, the manifest, the piece lists and the pieces cannot
    # take fewer.
    R[$k.$step.link6_s]=$(awk -v b="${R[$k.$step.worker_bytes]}" -v r="$rate" -v t="$rtt" \
      'BEGIN { printf "%.2f", b * 8 / (r * 1e6) + 6 * t / 1000 }')
  done
  "$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  link_down
  sed 's/^/  /' "$link_dir/linkemu.log"
}

mkdir -p "$scratch"
"$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
for l in $links; do measure_link "${l%%:*}" "${l##*:}"; done
[ "${ORV_WAN_CHECK_ONLY:-0}" = 1 ] && exit 0

echo
echo "== $files small files + $big_mib MiB ($(release_bytes v1) bytes); update: $insert_mib MiB inserted, $changed small files changed"
printf '%-9s %-8s %10s %7s %10s %7s %10s %7s %9s %10s %10s %10s %12s\n' link step "Worker s" req "curl16 s" req \
  "curl1 s" req "link s" "W/curl16" "W/curl1" "W/link" "curl16/link"
for l in $links; do
  for step in $steps; do
    k=$l.$step
    printf '%-9s %-8s %10s %7s %10s %7s %10s %7s %9s %10s %10s %10s %12s\n' "$l" "$step" \
      "${R[$k.worker_s]}" "${R[$k.worker_req]}" "${R[$k.curl16_s]:--}" "${R[$k.curl16_req]:--}" \
      "${R[$k.curl1_s]:--}" "${R[$k.curl1_req]:--}" "${R[$k.link_s]}" \
      "$(ratio "${R[$k.worker_s]}" "${R[$k.curl16_s]:-0}")" "$(ratio "${R[$k.worker_s]}" "${R[$k.curl1_s]:-0}")" \
      "$(ratio "${R[$k.worker_s]}" "${R[$k.link_s]}")" "$(ratio "${R[$k.curl16_s]:-0}" "${R[$k.link_s]}")"
  done
done
echo
echo "The Worker's phases (s): start = Wine and the process up to its first post, manifest = the"
echo "signed manifest's fetch, verify = hashing the installed files, transfer = downloads (an update's"
echo "piece lists and pieces included), commit = backups, moves and the seal, exit = to the process's end."
for l in $links; do
  for step in $steps; do
    printf '%-9s %-8s %s\n' "$l" "$step" "${R[$l.$step.phases]:--}"
  done
done
echo "link: <Mbit/s>:<round trip ms>; link s = the Worker's body bytes / rate + one round trip;"
echo "goals: install within 1.25x of curl16, update within 1.50x of the link's time."
echo
echo "== the update against every byte it moved (documents included) at the link's rate plus six round trips"
printf '%-9s %10s %12s %12s %10s\n' link "Worker s" "bytes" "link+6rtt s" "W/(link+6rtt)"
for l in $links; do
  k=$l.update
  [ -n "${R[$k.worker_s]:-}" ] || continue
  printf '%-9s %10s %12s %12s %10s\n' "$l" "${R[$k.worker_s]}" "${R[$k.worker_bytes]}" "${R[$k.link6_s]}" \
    "$(ratio "${R[$k.worker_s]}" "${R[$k.link6_s]}")"
done
echo "goal: within 2x on both links"
for l in $links; do
  echo "$l measured: connect ${R[$l.connect_ms]} ms, one connection ${R[$l.rate]} Mbit/s; update bytes: Worker ${R[$l.update.worker_bytes]:--}, curl16 ${R[$l.update.curl16_bytes]:--}"
done
if [ "$variants" != "${variants%% *}" ]; then
  echo
  echo "== the Worker with the small files' packs against without them (same run; requests from the host's log)"
  printf '%-9s %-8s %-10s %10s %7s %12s\n' link step run "Worker s" req bytes
  for l in $links; do
    for step in $steps; do
      for variant in $variants; do
        printf '%-9s %-8s %-10s %10s %7s %12s\n' "$l" "$step" "$variant" "${R[$l.$step.$variant.s]}" \
          "${R[$l.$step.$variant.req]}" "${R[$l.$step.$variant.bytes]}"
      done
      echo "$l $step: packed/unpacked requests $(ratio "${R[$l.$step.packed.req]:-0}" "${R[$l.$step.unpacked.req]:-0}"), time $(ratio "${R[$l.$step.packed.s]:-0}" "${R[$l.$step.unpacked.s]:-0}")"
    done
  done
fi
echo "$(nproc) processors; $(wine --version 2>/dev/null); load: $(uptime | sed 's/.*load average: //')"
