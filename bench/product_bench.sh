#!/usr/bin/env bash
# Product-job benchmark of the Update Worker on a 2 GiB, 201-file product:
# verify throughput against openssl, and the time to current after one file
# changed against curl + openssl doing the same work. Every figure is measured
# in this run; each ratio is taken against the peer measured in the same round.
#   ./bench/product_bench.sh            (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_ROUNDS (default 3, at least 3) rounds of each measurement;
# ORV_BENCH_KEEP=1 keeps the scratch install (2 GiB) instead of removing it.
# The generated product and its published tree stay in build/bench-product/
# and are reused by later runs (see bench/product_bench.md).
set -euo pipefail
ORV_BENCH_PACKAGES="curl:curl openssl:openssl ss:iproute2"
. "$(dirname "$0")/bench-env.sh"
prefix=$build/wineprefix
tool=$build/native/orvelant-release
worker_exe="$build/bin/ORVELANT Update Worker.exe"
monitor=$build/tools/worker-monitor.exe
trust_ca=$build/tools/trust-ca.exe
game_exe=$build/samples/ORVELANT.exe
key=$build/keys/update-signing.pem
settings_key='HKCU\Software\ORVELANT\Launcher'

bench=$build/bench-product
product=$bench/games/bench-title
tree=$bench/tree
state=$bench/host-state
ca=$state/certs/ca.crt
description=$bench/release.txt
scratch=$bench/run
install=$scratch/install
library=$scratch/localappdata
installed=$library/ORVELANT/Games/bench-title

product_id=bench-title
file_count=200                  # data files; ORVELANT.exe makes 201
product_bytes=$((2 * 1024 * 1024 * 1024))
target=data/video/pack-004.pak  # 10 MiB: the one file changed in the repair rounds
rounds=${ORV_BENCH_ROUNDS:-3}
MiB=1048576

die() {
  echo "product_bench: $*" >&2
  exit 1
}

for f in "$tool" "$worker_exe" "$monitor" "$trust_ca" "$game_exe" "$key"; do
  [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"
done
for t in curl openssl ss awk wine; do
  command -v "$t" >/dev/null || die "$t is not installed (./scripts/install-deps.sh)"
done
case $rounds in '' | *[!0-9]*) die "ORV_BENCH_ROUNDS must be a number" ;; esac
[ "$rounds" -ge 3 ] || die "ORV_BENCH_ROUNDS must be at least 3 (medians)"

wine_run() { "$repo/scripts/wine-run" "$prefix" "$@" </dev/null; }
winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# --- clean-up: only what this run started or copied ------------------------
started_host=0
cleanup() {
  local rc=$?
  set +e
  [ "$started_host" = 1 ] && "$repo/host/stop.sh" "$state" >/dev/null 2>&1
  [ "${ORV_BENCH_KEEP:-0}" = 1 ] || rm -rf "$scratch"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the product: 200 data files of varied size in sub-folders, 2 GiB ------
# Sizes cycle 2..18 MiB (10 MiB on average) plus an odd tail, the last file
# takes what is left of 2 GiB. Content is AES-CTR of zeros under a per-file
# seed, so every run (and every machine) gets the same bytes.
folders=(data/maps data/textures data/audio/music data/audio/voices data/video)
mib_cycle=(2 4 6 8 10 12 14 16 18 10)
layout() {
  local i size total=0
  for ((i = 0; i < file_count; i++)); do
    if ((i < file_count - 1)); then
      size=$((mib_cycle[i % 10] * MiB + (i * 7919) % 65536))
      total=$((total + size))
    else
      size=$((product_bytes - total))
    fi
    printf '%s/pack-%03d.pak %d\n' "${folders[i % 5]}" "$i" "$size"
  done
}
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }

expected_layout=$(layout)
product_ready() {
  [ -f "$bench/product.stamp" ] && [ "$(cat "$bench/product.stamp")" = "$expected_layout" ] || return 1
  local path size
  while read -r path size; do
    [ "$(stat -c %s "$product/$path" 2>/dev/null)" = "$size" ] || return 1
  done <<<"$expected_layout"
}

mkdir -p "$bench"
if product_ready; then
  echo "product: reusing $product"
else
  echo "product: generating $file_count files, $((product_bytes / MiB)) MiB, in $product ..."
  t0=$(now)
  rm -rf "$product" "$bench/product.stamp"
  while read -r path size; do
    mkdir -p "$(dirname "$product/$path")"
    rand "bench-title-$path" "$size" >"$product/$path"
  done <<<"$expected_layout"
  echo "$expected_layout" >"$bench/product.stamp"
  echo "product: generated in $(since "$t0") s"
fi
cmp -s "$game_exe" "$product/ORVELANT.exe" || cp "$game_exe" "$product/ORVELANT.exe"

cat >"$description.new" <<TXT
# Benchmark release: one large product.
host = localhost
signing_key = $key

[product $product_id]
title = BENCH TITLE
project = PROJECT / BENCH
subtitle = TWO GIGABYTES IN 201 FILES.
install_dir = $product_id
executable = ORVELANT.exe
manifest_path = /games/$product_id/stable/manifest.json
folder = games/$product_id
version = 1.0.0
TXT
mv "$description.new" "$description"

# Publishing copies and hashes 2 GiB; do it again only when something changed.
fingerprint=$( {
  cat "$description"
  sha256sum <"$key"
  (cd "$product" && find . -type f -printf '%P %s %T@\n' | sort)
} | sha256sum | cut -d' ' -f1)
"$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true  # a host left over by an interrupted run
if [ -f "$tree/.orvelant-published" ] && [ "$(cat "$bench/tree.stamp" 2>/dev/null)" = "$fingerprint" ]; then
  echo "release: reusing $tree"
  # Its documents may have expired since: re-signed with a new expiry.
  "$tool" refresh "$tree" --key "$key" >/dev/null
else
  echo "release: publishing $tree ..."
  t0=$(now)
  rm -f "$bench/tree.stamp"
  "$tool" publish "$description" "$tree" >/dev/null
  echo "$fingerprint" >"$bench/tree.stamp"
  echo "release: published in $(since "$t0") s"
fi

mapfile -t files < <(cd "$product" && find . -type f -printf '%P\n' | sort)
[ "${#files[@]}" = $((file_count + 1)) ] || die "product has ${#files[@]} files, expected $((file_count + 1))"
total_bytes=0
for f in "${files[@]}"; do total_bytes=$((total_bytes + $(stat -c %s "$product/$f"))); done
total_mib=$(calc "$total_bytes / $MiB" 1)
target_bytes=$(stat -c %s "$product/$target") || die "no $target in the product"

# --- the settings key: a library root there would move the install ---------
library_root=$(wine_run reg query "$settings_key" /v LibraryRoot 2>/dev/null | tr -d '\r' | awk '$1 == "LibraryRoot" { $1 = $2 = ""; print }' || true)
[ -z "${library_root// /}" ] ||
  die "the settings key names a LibraryRoot ($library_root); the Worker would not use this run's library"
limit=$(wine_run reg query "$settings_key" /v BandwidthKbps 2>/dev/null | tr -d '\r' | awk '$1 == "BandwidthKbps" { print $3 }' || true)

# --- the update host: port 443 is shared, wait for it ----------------------
port_busy() { [ -n "$(ss -ltnH 'sport = :443')" ]; }
deadline=$((SECONDS + 600))
waited=0
while :; do
  if port_busy; then
    [ $SECONDS -lt $deadline ] || die "port 443 still in use after 10 minutes: $(ss -ltnpH 'sport = :443' | head -1)"
    [ $waited = 1 ] || echo "host: port 443 is in use; waiting up to 10 minutes for it to be free ..."
    waited=1
    sleep 5
    continue
  fi
  # Someone may take the port between the check and the start; then wait again.
  if "$repo/host/start.sh" "$state" "$tree" localhost >"$bench/host-start.log" 2>&1; then
    started_host=1
    break
  fi
  port_busy || die "host/start.sh failed: $(cat "$bench/host-start.log")"
done
echo "host: serving $tree on https://localhost/"
wine_run "$trust_ca" "$(winpath "$ca")" >/dev/null

# --- the scratch install -----------------------------------------------------
rm -rf "$scratch"
mkdir -p "$install" "$library"
cp "$worker_exe" "$install/"
worker=$(winpath "$install/ORVELANT Update Worker.exe")
out=$scratch/monitor.txt

# run_worker <args...>: runs the Worker as a child of a window; sets job_rc,
# job_wall (s) and leaves the monitor's output in $out.
run_worker() {
  local t0
  t0=$(now)
  job_rc=0
  wine_run "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" "$worker" "$@" >"$out" 2>&1 || job_rc=$?
  job_wall=$(since "$t0")
}
# status_ms <name>: monitor time (ms since the Worker's creation) of the first such post.
status_ms() { awk -v s="$1" '$3 == "status" && $4 == s { print $1; exit }' "$out"; }
saw() { grep -q "status    $1 " "$out"; }
job_failed() {
  echo "product_bench: $1; monitor output:" >&2
  sed 's/^/  /' "$out" >&2
  exit 1
}
product_job() {
  rm -f "$installed/version.json"  # rewritten by every successful job: proves it ran on this library
  run_worker "/parent:{parent}" "/product:$product_id"
  [ "$job_rc" = 0 ] || job_failed "product job exited with $job_rc"
  saw PRODUCT_CURRENT || job_failed "product job did not post PRODUCT_CURRENT"
  [ -f "$installed/version.json" ] || job_failed "product job did not write $installed/version.json"
}
digests() { (cd "$1" && openssl dgst -sha256 "${files[@]}"); }

run_worker /sync "/parent:{parent}"
[ "$job_rc" = 0 ] && [ -f "$install/catalog.json" ] || job_failed "sync exited with $job_rc or cached no catalog"
echo "install: $file_count+1 files, $total_mib MiB into $installed ..."
product_job
saw PRODUCT_TRANSFER || job_failed "install downloaded nothing"
install_wall=$job_wall
# The installed copy must be the product byte for byte (this also warms the cache).
[ "$(digests "$installed")" = "$(digests "$product")" ] || die "installed files differ from the product"
echo "install: exit code 0 in $install_wall s; installed files match the product (openssl dgst)"

# --- verify: nothing to download --------------------------------------------
echo
echo "== verify-only product job (nothing to download) against openssl dgst -sha256 of the same $((file_count + 1)) files, both warm"
printf '  %-5s  %12s  %12s  %14s  %12s  %12s\n' round "start cost s" "job wall s" "verify span s" "Worker MiB/s" "openssl MiB/s"
v_wall=() v_span=() v_rate=() v_current=() o_wall=() o_rate=() s_wall=()
for ((r = 1; r <= rounds; r++)); do
  run_worker "/parent:{parent}" /product:no-such-title  # process start and catalog lookup only
  [ "$job_rc" = 10 ] || job_failed "unknown product exited with $job_rc, expected 10"
  s_wall+=("$job_wall")
  product_job
  saw PRODUCT_TRANSFER && job_failed "verify-only job downloaded something"
  span=$(calc "($(status_ms PRODUCT_CURRENT) - $(status_ms PRODUCT_VERIFYING)) / 1000" 3)
  v_wall+=("$job_wall") v_span+=("$span") v_rate+=("$(calc "$total_bytes / $MiB / $span" 1)")
  v_current+=("$(calc "$(status_ms PRODUCT_CURRENT) / 1000" 3)")
  t0=$(now)
  digests "$installed" >/dev/null
  ow=$(since "$t0")
  o_wall+=("$ow") o_rate+=("$(calc "$total_bytes / $MiB / $ow" 1)")
  printf '  %-5s  %12s  %12s  %14s  %12s  %12s\n' "$r" "${s_wall[-1]}" "$job_wall" "$span" "${v_rate[-1]}" "${o_rate[-1]}"
done
med_start=$(median "${s_wall[@]}")
med_vwall=$(median "${v_wall[@]}")
med_vspan=$(median "${v_span[@]}")
med_vrate=$(median "${v_rate[@]}")
med_vcur=$(median "${v_current[@]}")
med_owall=$(median "${o_wall[@]}")
med_orate=$(median "${o_rate[@]}")
printf '  %-5s  %12s  %12s  %14s  %12s  %12s\n' median "$med_start" "$med_vwall" "$med_vspan" "$med_vrate" "$med_orate"
echo "  Worker/openssl hashing speed (verify span): $(calc "$med_vrate / $med_orate")x"
echo "  Worker/openssl time (whole job wall clock against openssl wall clock): $(calc "$med_vwall / $med_owall")x"

# --- one changed file: time to current ----------------------------------------
echo
echo "== one-file repair: $target ($(calc "$target_bytes / $MiB" 1) MiB) changed in the install; job until PRODUCT_CURRENT"
echo "   peer: curl of that file from the same host + openssl dgst -sha256 of all $((file_count + 1)) files"
want=$(openssl dgst -sha256 -r "$product/$target" | cut -d' ' -f1)
# Where the manifest says the file is served (its content address), or the
# default address of a tree published in place.
target_url=$(tr -d '\r' <"$tree/games/$product_id/stable/manifest.json" |
  awk -F'"' -v p="$target" '/"path":/ { c = $4 } /"url":/ && c == p { print $4; exit }')
[ -n "$target_url" ] || target_url=/games/$product_id/stable/files/$target
printf '  %-5s  %12s  %14s  %12s  %14s\n' round "job wall s" "to current s" "curl s" "curl+openssl s"
u_wall=() u_current=() c_wall=() p_wall=()
for ((r = 1; r <= rounds; r++)); do
  printf 'changed by round %d of the benchmark\n' "$r" | dd of="$installed/$target" conv=notrunc status=none
  [ "$(openssl dgst -sha256 -r "$installed/$target" | cut -d' ' -f1)" != "$want" ] || die "could not change $target"
  product_job
  saw PRODUCT_TRANSFER || job_failed "repair job downloaded nothing"
  [ "$(openssl dgst -sha256 -r "$installed/$target" | cut -d' ' -f1)" = "$want" ] || die "repair job left $target wrong"
  u_wall+=("$job_wall") u_current+=("$(calc "$(status_ms PRODUCT_CURRENT) / 1000" 3)")
  t0=$(now)
  curl -sS --fail --cacert "$ca" -o "$scratch/peer.pak" "https://localhost$target_url"
  cw=$(since "$t0")
  digests "$installed" >/dev/null
  pw=$(since "$t0")
  [ "$(openssl dgst -sha256 -r "$scratch/peer.pak" | cut -d' ' -f1)" = "$want" ] || die "curl fetched a wrong $target"
  rm -f "$scratch/peer.pak"
  c_wall+=("$cw") p_wall+=("$pw")
  printf '  %-5s  %12s  %14s  %12s  %14s\n' "$r" "$job_wall" "${u_current[-1]}" "$cw" "$pw"
done
med_uwall=$(median "${u_wall[@]}")
med_ucur=$(median "${u_current[@]}")
med_cwall=$(median "${c_wall[@]}")
med_pwall=$(median "${p_wall[@]}")
printf '  %-5s  %12s  %14s  %12s  %14s\n' median "$med_uwall" "$med_ucur" "$med_cwall" "$med_pwall"
extra_cur=$(calc "$med_ucur - $med_vcur" 3)
extra_wall=$(calc "$med_uwall - $med_vwall" 3)
echo "  verify-only job: to current $med_vcur s, wall $med_vwall s (medians above)"
echo "  cost of the one file (repair - verify-only): $extra_cur s to current, $extra_wall s wall; curl alone $med_cwall s"
echo "  Worker/peer time to current (repair job to current against curl+openssl): $(calc "$med_ucur / $med_pwall")x"

# --- summary -------------------------------------------------------------------
echo
echo "== summary ($total_mib MiB in $((file_count + 1)) files, $rounds rounds, medians, page cache warm)"
printf '  %-44s  %14s  %-30s  %8s\n' measure Worker peer "Worker/peer"
row() { printf '  %-44s  %14s  %-30s  %8s\n' "$@"; }
row "verify hashing speed (VERIFYING..CURRENT)" "$med_vrate MiB/s" "openssl dgst $med_orate MiB/s" "$(calc "$med_vrate / $med_orate")x"
row "verify-only job, whole job wall clock" "$med_vwall s" "openssl dgst $med_owall s" "$(calc "$med_vwall / $med_owall")x"
row "one-file repair, time to PRODUCT_CURRENT" "$med_ucur s" "curl + openssl dgst $med_pwall s" "$(calc "$med_ucur / $med_pwall")x"
row "one-file repair, whole job wall clock" "$med_uwall s" "curl + openssl dgst $med_pwall s" "$(calc "$med_uwall / $med_pwall")x"
row "cost of the file (repair - verify, to current)" "$extra_cur s" "curl $med_cwall s" "$(calc "$extra_cur / $med_cwall")x"
row "Worker process start + catalog lookup" "$med_start s" "-" "-"
echo "  speeds: higher is better (ratio above 1 is faster than the peer); times: lower is better (ratio below 1 is faster)"
echo "  install of the whole product (once, no peer): $install_wall s"
[ -z "$limit" ] || echo "  note: the settings key holds BandwidthKbps=$limit during this run; downloads were limited by it"
[ "${ORV_BENCH_KEEP:-0}" = 1 ] && echo "  scratch install kept: $scratch" || echo "  scratch install removed; product and release kept in $bench for the next run"
