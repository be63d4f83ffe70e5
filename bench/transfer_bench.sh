#!/usr/bin/env bash
# Transfer benchmark of the Update Worker: download speed against curl,
# SHA-256 speed against openssl, peak memory of a large download, accuracy of
# the bandwidth limit and the cost of the Worker's per-chunk steps against a
# bare WinHTTP loop. Every figure is measured in this run; ratios are taken
# against the peer measured in the same round.
#   ./bench/transfer_bench.sh            (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_ROUNDS (default 3) rounds of the 512 MiB measurements,
# ORV_BENCH_STEP_ROUNDS (default 5) rounds of the 64 MiB per-read step runs.
set -euo pipefail
ORV_BENCH_PACKAGES="curl:curl openssl:openssl"
. "$(dirname "$0")/bench-env.sh"
prefix=$build/wineprefix
hooks_exe=$build/tests/bin/worker-with-test-hooks.exe
state=$build/tests/host/state
ca=$state/certs/ca.crt
tree=$build/tests/host/tree
rounds=${ORV_BENCH_ROUNDS:-3}
step_rounds=${ORV_BENCH_STEP_ROUNDS:-5}
settings_key='HKCU\Software\ORVELANT\Launcher'
MiB=1048576

die() {
  echo "transfer_bench: $*" >&2
  exit 1
}

[ -x "$hooks_exe" ] || die "$hooks_exe is missing: run ./scripts/build.sh first"
for tool in curl openssl sha256sum awk wine; do
  command -v "$tool" >/dev/null || die "$tool is not installed (./scripts/install-deps.sh)"
done
for n in "$rounds" "$step_rounds"; do
  case $n in '' | *[!0-9]* | 0) die "ORV_BENCH_ROUNDS and ORV_BENCH_STEP_ROUNDS must be positive numbers" ;; esac
done

# --- clean-up: whatever this run changed or started, and only that ---------
scratch=""
started_host=0
saved_limit=""      # "TYPE DATA" of BandwidthKbps before the run, empty when absent
limit_touched=0
running_pids=()

reg_run() { "$repo/scripts/wine-run" "$prefix" reg "$@" </dev/null 2>/dev/null | tr -d '\r'; }

cleanup() {
  local rc=$? pid
  set +e
  for pid in "${running_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  if [ "$limit_touched" = 1 ]; then
    if [ -n "$saved_limit" ]; then
      reg_run add "$settings_key" /v BandwidthKbps /t "${saved_limit%% *}" /d "${saved_limit#* }" /f >/dev/null
    else
      reg_run delete "$settings_key" /v BandwidthKbps /f >/dev/null
    fi
  fi
  [ -n "$scratch" ] && rm -rf "$scratch"
  if [ "$started_host" = 1 ]; then
    "$repo/tests/host/update_host_fixture.sh" stop "$build" >/dev/null 2>&1
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- small helpers -----------------------------------------------------------
now_us() { local t=$EPOCHREALTIME; echo "${t//[.,]/}"; }
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
field() { awk -v k="$2" '$1 == k { print $2; exit }' "$1"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { printf "%.3f\n", (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
mibps() { calc '%.1f' "$1 / $MiB / ($2 / 1e6)"; }   # bytes, microseconds
secs() { calc '%.2f' "$1 / 1e6"; }
kib() { calc '%.1f' "$1 / 1024"; }

limit_set() {
  limit_touched=1
  reg_run add "$settings_key" /v BandwidthKbps /t REG_DWORD /d "$1" /f >/dev/null ||
    die "could not set BandwidthKbps in the Wine prefix"
}
limit_clear() {
  limit_touched=1
  reg_run delete "$settings_key" /v BandwidthKbps /f >/dev/null || true
}
limit_now() { { reg_run query "$settings_key" /v BandwidthKbps || true; } | sed -n 's/^ *BandwidthKbps *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p'; }

# Samples the resident memory of the Worker's Linux process (found by its
# command line: the copy of the Worker in the scratch folder) every ~50 ms
# until it ends. Writes "peak_kib samples covered_us": peak is the larger of
# the highest VmRSS sample and the last VmHWM read; covered_us the time from
# the first to the last sample.
sample_memory() {
  local launcher=$1 out=$2 pid="" p arg0 peak=0 count=0 rss hwm state key value rest first="" last=""
  while [ -z "$pid" ]; do
    kill -0 "$launcher" 2>/dev/null || break
    for p in /proc/[0-9]*; do
      { IFS= read -r -d '' arg0 <"$p/cmdline"; } 2>/dev/null || continue
      if [ "$arg0" = "$worker_exe" ]; then pid=${p#/proc/}; break; fi
    done
    [ -n "$pid" ] || sleep 0.01
  done
  while [ -n "$pid" ] && [ -e "/proc/$pid" ]; do
    rss="" hwm="" state=""
    { while read -r key value rest; do
        case $key in VmRSS:) rss=$value ;; VmHWM:) hwm=$value ;; State:) state=$value ;; esac
      done <"/proc/$pid/status"; } 2>/dev/null || true
    case $state in Z | X | "") break ;; esac  # exited (zombie until reaped) or gone
    if [ -n "$rss" ]; then
      [ "$rss" -gt "$peak" ] && peak=$rss
      [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
      count=$((count + 1))
      last=$(now_us)
      [ -n "$first" ] || first=$last
    fi
    sleep 0.05
  done
  echo "$peak $count $(( ${last:-0} - ${first:-0} ))" >"$out"
}

# run_worker <report name> VAR=value...: runs the Worker's test build with the
# hook variables, sampling its memory. Sets run_rc, run_wall_us, run_peak_kib,
# run_samples and run_covered_us.
run_worker() {
  local name=$1 t0 t1 pid sampler
  shift
  rm -f "$scratch/$name.report" "$scratch/$name.mem"
  t0=$(now_us)
  env "$@" "$repo/scripts/wine-run" "$prefix" "$worker_exe" </dev/null >/dev/null 2>&1 &
  pid=$!
  running_pids=("$pid")
  sample_memory "$pid" "$scratch/$name.mem" &
  sampler=$!
  running_pids+=("$sampler")
  run_rc=0
  wait "$pid" || run_rc=$?
  t1=$(now_us)
  wait "$sampler" || true
  running_pids=()
  run_wall_us=$((t1 - t0))
  read -r run_peak_kib run_samples run_covered_us <"$scratch/$name.mem"
}

worker_failed() {
  local log=$scratch/logs/updater.log
  echo "transfer_bench: $1 (exit code $run_rc)" >&2
  [ -f "$log" ] && tail -n 5 "$log" | sed 's/^/  worker log: /' >&2
  echo "  (is the update host still up? another test run may have stopped it)" >&2
  exit 1
}

check_digest() {  # <file> <expected hex> <what>
  local got
  got=$(sha256sum "$1" | cut -d' ' -f1)
  [ "$got" = "$2" ] || die "$3: sha256 $got differs from the served file's $2"
}

# --- 1. the update host and the files it serves ------------------------------
host_up() { [ -f "$ca" ] && curl -sS --cacert "$ca" -o /dev/null https://localhost/ 2>/dev/null; }
if host_up; then
  echo "update host: already running, used as it is"
else
  [ "$(id -u)" = 0 ] || die "the update host is down and starting it needs root (port 443)"
  echo "update host: not running, starting the test fixture"
  "$repo/tests/host/update_host_fixture.sh" start "$build" >/dev/null
  started_host=1
  host_up || die "the update host did not come up"
fi

mkdir -p "$tree/bench"
# Deterministic content (AES-CTR keystream of a fixed pass phrase), made once.
make_blob() {  # <name> <MiB>
  local path=$tree/bench/$1 bytes=$(($2 * MiB))
  if [ ! -f "$path" ] || [ "$(stat -c %s "$path")" != "$bytes" ]; then
    echo "making $path ($2 MiB)"
    head -c "$bytes" /dev/zero |
      openssl enc -aes-128-ctr -nosalt -pass "pass:orvelant-bench-$1" -pbkdf2 2>/dev/null >"$path.tmp"
    mv "$path.tmp" "$path"
  fi
}
make_blob blob-512m.bin 512
make_blob blob-64m.bin 64
make_blob blob-20m.bin 20
make_blob blob-100m.bin 100

scratch=$(mktemp -d "$build/bench-scratch.XXXXXX")
# A private copy of the Worker: its install folder (pause flag, log) is the
# scratch folder, and its command line names only this run's process.
worker_exe=$scratch/orvelant-bench-worker.exe
cp "$hooks_exe" "$worker_exe"
ws=$(winpath "$scratch")

saved_limit=$(limit_now)
if [ -n "$saved_limit" ]; then
  echo "BandwidthKbps was set ($saved_limit); cleared for the run, restored at the end"
  limit_clear
fi

echo "served file sha256 (openssl, reference):"
declare -A served_sha
for name in blob-512m.bin blob-64m.bin blob-20m.bin blob-100m.bin; do
  served_sha[$name]=$(openssl dgst -sha256 -r "$tree/bench/$name" | cut -d' ' -f1)
  printf '  %-14s %s\n' "$name" "${served_sha[$name]}"
done
echo "rounds: $rounds; $(nproc) processors; $(wine --version 2>/dev/null)"

# --- Wine process start and the idle Worker ----------------------------------
echo
echo "== idle Worker process (hook that only sleeps) =="
start_us=() idle_kib=()
for r in $(seq 1 "$rounds"); do
  run_worker idle0 ORV_TEST_IDLE=0
  [ "$run_rc" = 0 ] || worker_failed "idle run failed"
  start_us+=("$run_wall_us")
  run_worker idle ORV_TEST_IDLE=1000
  [ "$run_rc" = 0 ] || worker_failed "idle run failed"
  idle_kib+=("$run_peak_kib")
  echo "  round $r: start-up and exit $(secs "${start_us[-1]}") s; sleeping 1 s: peak RSS $(kib "$run_peak_kib") MiB ($run_samples samples)"
done
start_med=$(median "${start_us[@]}")
idle_med=$(median "${idle_kib[@]}")

# --- 2, 4, 6. 512 MiB: DownloadToFile, curl, bare WinHTTP loop ---------------
big=blob-512m.bin
big_bytes=$((512 * MiB))
url=/bench/$big
echo
echo "== 512 MiB download: Worker DownloadToFile / curl / bare WinHTTP loop =="
w_us=() w_wall=() c_us=() c_wall=() b_us=() w_c_ratio=() w_c_wall_ratio=() w_b_ratio=() w_peak=()
for r in $(seq 1 "$rounds"); do
  dest=$scratch/worker.bin
  rm -f "$dest"   # an existing file would be resumed, not downloaded
  run_worker dl "ORV_TEST_TIMED_DOWNLOAD=$url|$(winpath "$dest")|$big_bytes|$ws\\dl.report"
  [ "$run_rc" = 0 ] || worker_failed "DownloadToFile of $url failed"
  check_digest "$dest" "${served_sha[$big]}" "Worker download"
  rm -f "$dest"
  w_us+=("$(field "$scratch/dl.report" us)") w_wall+=("$run_wall_us") w_peak+=("$run_peak_kib")
  echo "  round $r Worker  call $(secs "${w_us[-1]}") s  $(mibps $big_bytes "${w_us[-1]}") MiB/s  (process $(secs "$run_wall_us") s, peak RSS $(kib "$run_peak_kib") MiB, $run_samples samples over $(secs "$run_covered_us") s)"

  dest=$scratch/curl.bin
  t0=$(now_us)
  ct=$(curl -sS --fail --cacert "$ca" -o "$dest" -w '%{time_total}' "https://localhost$url") ||
    die "curl of $url failed"
  t1=$(now_us)
  check_digest "$dest" "${served_sha[$big]}" "curl download"
  rm -f "$dest"
  c_us+=("$(calc '%.0f' "$ct * 1e6")") c_wall+=("$((t1 - t0))")
  echo "  round $r curl    transfer $(secs "${c_us[-1]}") s  $(mibps $big_bytes "${c_us[-1]}") MiB/s  (process $(secs "${c_wall[-1]}") s)"

  dest=$scratch/bare.bin
  rm -f "$dest"
  run_worker bare "ORV_TEST_BARE_LOOP=$url|$(winpath "$dest")|$ws\\bare.report"
  [ "$run_rc" = 0 ] || worker_failed "bare WinHTTP loop over $url failed"
  check_digest "$dest" "${served_sha[$big]}" "bare loop download"
  rm -f "$dest"
  b_us+=("$(field "$scratch/bare.report" us)")
  chunks=$(field "$scratch/bare.report" chunks) queries=$(field "$scratch/bare.report" queries)
  echo "  round $r bare    call $(secs "${b_us[-1]}") s  $(mibps $big_bytes "${b_us[-1]}") MiB/s  ($chunks reads, $queries QueryDataAvailable, peak RSS $(kib "$run_peak_kib") MiB)"

  w_c_ratio+=("$(calc '%.4f' "${c_us[-1]} / ${w_us[-1]}")")
  w_c_wall_ratio+=("$(calc '%.4f' "${c_wall[-1]} / ${w_wall[-1]}")")
  w_b_ratio+=("$(calc '%.4f' "${w_us[-1]} / ${b_us[-1]}")")
done
w_med=$(median "${w_us[@]}") c_med=$(median "${c_us[@]}") b_med=$(median "${b_us[@]}")
dl_ratio=$(median "${w_c_ratio[@]}") dl_wall_ratio=$(median "${w_c_wall_ratio[@]}")
overhead=$(calc '%.1f' "($(median "${w_b_ratio[@]}") - 1) * 100")
peak512=$(median "${w_peak[@]}")
echo "  median: Worker $(mibps $big_bytes "$w_med") MiB/s, curl $(mibps $big_bytes "$c_med") MiB/s, speed ratio Worker/curl $(calc '%.3f' "$dl_ratio") (whole processes: $(calc '%.3f' "$dl_wall_ratio"))"
echo "  median: DownloadToFile takes $overhead % longer than the bare loop"

# --- 3. SHA-256 of the 512 MiB file -----------------------------------------
echo
echo "== SHA-256 of 512 MiB: Worker Sha256File / openssl dgst -sha256 =="
h_us=() h_wall=() o_us=() h_ratio=() h_wall_ratio=()
served_win=$(winpath "$tree/bench/$big")
for r in $(seq 1 "$rounds"); do
  run_worker sha "ORV_TEST_SHA256=$served_win|$ws\\sha.report"
  [ "$run_rc" = 0 ] || worker_failed "Sha256File of $served_win failed"
  digest=$(field "$scratch/sha.report" sha256)
  h_us+=("$(field "$scratch/sha.report" us)") h_wall+=("$run_wall_us")
  t0=$(now_us)
  odigest=$(openssl dgst -sha256 -r "$tree/bench/$big" | cut -d' ' -f1)
  t1=$(now_us)
  o_us+=("$((t1 - t0))")
  [ "$digest" = "$odigest" ] || die "Sha256File gave $digest, openssl $odigest"
  [ "$odigest" = "${served_sha[$big]}" ] || die "the served file changed during the run"
  h_ratio+=("$(calc '%.4f' "${o_us[-1]} / ${h_us[-1]}")")
  h_wall_ratio+=("$(calc '%.4f' "${o_us[-1]} / ${h_wall[-1]}")")
  echo "  round $r Worker  call $(secs "${h_us[-1]}") s  $(mibps $big_bytes "${h_us[-1]}") MiB/s  (process $(secs "$run_wall_us") s)   openssl $(secs "${o_us[-1]}") s  $(mibps $big_bytes "${o_us[-1]}") MiB/s   digests equal"
done
h_med=$(median "${h_us[@]}") o_med=$(median "${o_us[@]}")
hash_ratio=$(median "${h_ratio[@]}") hash_wall_ratio=$(median "${h_wall_ratio[@]}")
echo "  median: Worker $(mibps $big_bytes "$h_med") MiB/s, openssl $(mibps $big_bytes "$o_med") MiB/s, speed ratio Worker/openssl $(calc '%.3f' "$hash_ratio") (whole processes: $(calc '%.3f' "$hash_wall_ratio"))"

# --- 4, 6. 64 MiB: memory, and the per-chunk steps added one by one ----------
small=blob-64m.bin
small_bytes=$((64 * MiB))
surl=/bench/$small
echo
echo "== 64 MiB download: DownloadToFile, and the bare loop with each per-read step added ($step_rounds rounds) =="
declare -A step_us step_diff step_pct step_names step_short
step_names=([dl]="DownloadToFile (all steps)" [0]="bare loop" [1]="+ pause flag checks"
  [2]="+ throttle (settings read)" [4]="+ transfer post")
step_short=([0]="bare" [1]="+pause" [2]="+throttle" [4]="+post")
peak64=()
for r in $(seq 1 "$step_rounds"); do
  line="  round $r"
  for variant in dl 0 1 2 4; do
    dest=$scratch/run64.bin
    rm -f "$dest"
    if [ "$variant" = dl ]; then
      run_worker run64 "ORV_TEST_TIMED_DOWNLOAD=$surl|$(winpath "$dest")|$small_bytes|$ws\\run64.report"
      peak64+=("$run_peak_kib")
    else
      run_worker run64 "ORV_TEST_BARE_LOOP=$surl|$(winpath "$dest")|$ws\\run64.report|$variant"
      chunks64=$(field "$scratch/run64.report" chunks)
    fi
    [ "$run_rc" = 0 ] || worker_failed "download of $surl (${step_names[$variant]}) failed"
    check_digest "$dest" "${served_sha[$small]}" "${step_names[$variant]}"
    rm -f "$dest"
    step_us[$variant]=$(field "$scratch/run64.report" us)
    if [ "$variant" = dl ]; then
      line+=" DownloadToFile $(secs "${step_us[dl]}") s (peak RSS $(kib "$run_peak_kib") MiB);"
    else
      line+=" ${step_short[$variant]} $(secs "${step_us[$variant]}") s"
      [ "$variant" = 4 ] || line+=","
    fi
  done
  for variant in dl 1 2 4; do  # paired with this round's bare loop
    step_diff[$variant]="${step_diff[$variant]:-} $((step_us[$variant] - step_us[0]))"
    step_pct[$variant]="${step_pct[$variant]:-} $(calc '%.3f' "(${step_us[$variant]} / ${step_us[0]} - 1) * 100")"
  done
  step_diff[0]="${step_diff[0]:-} ${step_us[0]}"
  echo "$line"
done
peak64_med=$(median "${peak64[@]}")
# shellcheck disable=SC2086
dl_diff_med=$(median ${step_diff[dl]})
# shellcheck disable=SC2086
echo "  median over $chunks64 reads (each step against the bare loop of its round; bare loop $(secs "$(median ${step_diff[0]})") s):"
for variant in 1 2 4 dl; do
  # shellcheck disable=SC2086
  printf '    %-28s %+7.1f %%  %+8.1f us per read\n' "${step_names[$variant]}" \
    "$(median ${step_pct[$variant]})" "$(calc '%.2f' "$(median ${step_diff[$variant]}) / $chunks64")"
done

# --- per-chunk steps in isolation --------------------------------------------
echo
echo "== the same steps timed alone, 100000 calls each (tight loop, no transfer running) =="
run_worker steps "ORV_TEST_CHUNK_STEPS=100000|$ws\\steps.report"
[ "$run_rc" = 0 ] || worker_failed "chunk step timing failed"
us_of() { calc '%.2f' "$(field "$scratch/steps.report" "$1") / 1000"; }
pause_us=$(us_of watched_pause_ns) file_us=$(us_of pause_flag_ns) setting_us=$(us_of read_setting_ns) tick_us=$(us_of tick_ns)
throttle_us=$(us_of throttle_ns) post_us=$(us_of post_ns)
echo "  pause flag test (FileExists)           $file_us us (made only after a change)"
echo "  watched pause flag check (one wait)    $pause_us us"
echo "  ReadSettingNumber(BandwidthKbps)       $setting_us us"
echo "  GetTickCount64                         $tick_us us"
echo "  ThrottleTransfer, no limit set         $throttle_us us (one watched look)"
echo "  PostWorkerTransfer, no parent window   $post_us us"
# The look before a query follows the throttle's look with nothing waited for
# between, so it is left out: a read costs the look before it and the throttle's.
per_read=$(calc '%.2f' "$pause_us + $throttle_us + $post_us")
echo "  per read in DownloadToFile: $per_read us (the look before the read, the throttle's look, the post)"
echo "  x $chunks reads of the 512 MiB file = $(calc '%.2f' "$per_read * $chunks / 1e6") s alone;" \
  "in a transfer (64 MiB figure above) $(calc '%.2f' "$dl_diff_med / $chunks64 * $chunks / 1e6") s;" \
  "measured difference to the bare loop at 512 MiB $(calc '%.2f' "($w_med - $b_med) / 1e6") s"

# --- 5. bandwidth limit ------------------------------------------------------
echo
echo "== bandwidth limit (BandwidthKbps) =="
declare -A throttle_kibps throttle_dev
for pair in 1024:blob-20m.bin 5120:blob-100m.bin; do
  limit=${pair%%:*} name=${pair#*:}
  bytes=$(stat -c %s "$tree/bench/$name")
  limit_set "$limit"
  dest=$scratch/throttled.bin
  rm -f "$dest"
  run_worker thr "ORV_TEST_TIMED_DOWNLOAD=/bench/$name|$(winpath "$dest")|$bytes|$ws\\thr.report"
  rc=$run_rc
  limit_clear
  run_rc=$rc
  [ "$run_rc" = 0 ] || worker_failed "throttled DownloadToFile of /bench/$name failed"
  check_digest "$dest" "${served_sha[$name]}" "throttled download"
  rm -f "$dest"
  us=$(field "$scratch/thr.report" us)
  throttle_kibps[$limit]=$(calc '%.1f' "$bytes / 1024 / ($us / 1e6)")
  throttle_dev[$limit]=$(calc '%+.1f' "(${throttle_kibps[$limit]} / $limit - 1) * 100")
  echo "  limit $limit KiB/s: $((bytes / MiB)) MiB in $(secs "$us") s = ${throttle_kibps[$limit]} KiB/s, ${throttle_dev[$limit]} % (peak RSS $(kib "$run_peak_kib") MiB)"
done
[ -z "$(limit_now)" ] || die "BandwidthKbps is still set after the run"

# --- summary ------------------------------------------------------------------
verdict() { awk "BEGIN { exit !($1) }" && echo met || echo "NOT met"; }
abs() { calc '%.1f' "($1 < 0) ? -($1) : $1"; }
mem_over=$(calc '%.1f' "($peak512 - $idle_med) / 1024")
mem64_over=$(calc '%.1f' "($peak64_med - $idle_med) / 1024")
echo
echo "== summary (medians; ratios paired per round) =="
printf '%-34s %-16s %-16s %-14s %s\n' "measure" "Worker" "peer" "ratio / value" "goal"
printf '%-34s %-16s %-16s %-14s %s\n' "download 512 MiB (MiB/s)" "$(mibps $big_bytes "$w_med")" \
  "curl $(mibps $big_bytes "$c_med")" "$(calc '%.3f' "$dl_ratio")" "-"
printf '%-34s %-16s %-16s %-14s %s\n' "  whole processes (s)" "$(secs "$(median "${w_wall[@]}")")" \
  "curl $(secs "$(median "${c_wall[@]}")")" "$(calc '%.3f' "$dl_wall_ratio")" "-"
printf '%-34s %-16s %-16s %-14s %s\n' "SHA-256 512 MiB (MiB/s)" "$(mibps $big_bytes "$h_med")" \
  "openssl $(mibps $big_bytes "$o_med")" "$(calc '%.3f' "$hash_ratio")" "-"
printf '%-34s %-16s %-16s %-14s %s\n' "  whole processes (s)" "$(secs "$(median "${h_wall[@]}")")" \
  "openssl $(secs "$o_med")" "$(calc '%.3f' "$hash_wall_ratio")" "-"
printf '%-34s %-16s %-16s %-14s %s\n' "Wine process start-up (s)" "$(secs "$start_med")" "-" "-" "-"
printf '%-34s %-16s %-16s %-14s %s\n' "peak RSS 512 MiB download (MiB)" "$(kib "$peak512")" \
  "idle $(kib "$idle_med")" "+$mem_over" "<= +16: $(verdict "$mem_over <= 16")"
printf '%-34s %-16s %-16s %-14s %s\n' "peak RSS 64 MiB download (MiB)" "$(kib "$peak64_med")" \
  "idle $(kib "$idle_med")" "+$mem64_over" "<= +16: $(verdict "$mem64_over <= 16")"
printf '%-34s %-16s %-16s %-14s %s\n' "  peak 512 MiB - peak 64 MiB (MiB)" "$(calc '%+.1f' "($peak512 - $peak64_med) / 1024")" \
  "-" "-" "independent of size"
for limit in 1024 5120; do
  printf '%-34s %-16s %-16s %-14s %s\n' "limit $limit KiB/s (KiB/s)" "${throttle_kibps[$limit]}" \
    "limit $limit" "${throttle_dev[$limit]} %" "|dev| <= 10 %: $(verdict "$(abs "${throttle_dev[$limit]}") <= 10")"
done
printf '%-34s %-16s %-16s %-14s %s\n' "DownloadToFile vs bare loop (s)" "$(secs "$w_med")" \
  "bare $(secs "$b_med")" "+$overhead %" "< 10 %: $(verdict "$overhead < 10")"
speed_ratio=$(calc '%.3f' "$(median "${w_b_ratio[@]}")")
speed_ratio=$(calc '%.3f' "1 / $speed_ratio")
printf '%-34s %-16s %-16s %-14s %s\n' "  speed DownloadToFile / bare loop" "$(mibps $big_bytes "$w_med")" \
  "bare $(mibps $big_bytes "$b_med")" "$speed_ratio" ">= 0.80: $(verdict "$speed_ratio >= 0.80")"
