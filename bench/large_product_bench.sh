#!/usr/bin/env bash
# Large-product benchmark of the Update Worker: a synthetic product of many
# files (100,000 by default: mostly small, four large, 4 GiB in all) beside a
# reference product shaped like product_bench.sh's (201 files), both measured
# in this run: first install, the check before a start (a job on the current
# product: the manifest revalidated, no file read), verify-only (a repair,
# which hashes every file) and a one-file update (a new
# signed manifest in which one small file changed), each with the Worker's
# wall time and peak working set; the large product's figures are printed
# per file and per byte against the reference's. Hashing: the verify-only
# job against the Worker's own hashing loop over the same files (the test
# build's Sha256File walk) and against openssl dgst -sha256, same run.
#   ./bench/large_product_bench.sh     (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_FILES (100000), ORV_BENCH_MIB (4096) size the large
# product; ORV_BENCH_REF_MIB (2048) the reference; ORV_BENCH_SPARSE_GIB (0:
# off, e.g. 5) adds a product of one sparse file of that many GiB (install,
# verify, a resume after a kill); ORV_BENCH_PEAK=0 leaves out the resident-size
# sampling; ORV_BENCH_SPARSE_ONLY=1 (with ORV_BENCH_SPARSE_GIB) runs only the
# sparse file's part; ORV_BENCH_PEER_WORKER=<path of another Worker program>
# (an earlier build) runs the check before a start with it too, right after
# this build's, and prints the two side by side (time and bytes the host sent). Products stay in build/bench-large/.
set -euo pipefail
# Its own Wine prefix (below): the servers of the build's prefixes, which a
# test run may be using, are left alone.
export ORV_BENCH_PREFIXES=${ORV_BENCH_PREFIXES:-$(cd "$(dirname "$0")/.." && pwd)/build/bench-large}
ORV_BENCH_PACKAGES="python3:python3 openssl:openssl"
. "$(dirname "$0")/bench-env.sh"
tool=$build/native/orvelant-release
worker_exe="$build/bin/ORVELANT Update Worker.exe"
hooks_exe="$build/tests/bin/worker-with-test-hooks.exe"
monitor=$build/tools/worker-monitor.exe
trust_ca=$build/tools/trust-ca.exe
key=$build/keys/update-signing.pem
bench=$build/bench-large
# Its own Wine prefix: a test run's or the demo's private network stops the
# servers of the build's prefixes (build/wineprefix*), which would end this
# long run's Worker half way.
prefix=$bench/wineprefix
tree=$bench/tree
state=$bench/host-state
ca=$state/certs/ca.crt
scratch=$bench/run
install=$scratch/install
library=$scratch/localappdata
files=${ORV_BENCH_FILES:-100000}
mib=${ORV_BENCH_MIB:-4096}
ref_mib=${ORV_BENCH_REF_MIB:-2048}
sparse_gib=${ORV_BENCH_SPARSE_GIB:-0}
export ORV_MONITOR_TIMEOUT_S=${ORV_MONITOR_TIMEOUT_S:-14400}
MiB=1048576

die() { echo "large_product_bench: $*" >&2; exit 1; }
# The Worker's own process (the monitor's command line names it too).
worker_pid() {
  local p
  for p in $(pgrep -f 'bench-large.run.install.ORVELANT Update Worker'); do
    tr '\0' ' ' 2>/dev/null <"/proc/$p/cmdline" | grep -q worker-monitor || { echo "$p"; return; }
  done
}
for f in "$tool" "$worker_exe" "$hooks_exe" "$monitor" "$trust_ca" "$key"; do
  [ -e "$f" ] || die "$f is missing: run ./scripts/build.sh first"
done
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
wine_run() { "$repo/scripts/wine-run" "$prefix" "$@" </dev/null; }
winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

started_host=0
cleanup() {
  local rc=$?
  set +e
  [ -n "${sampler:-}" ] && kill "$sampler" 2>/dev/null
  [ "$started_host" = 1 ] && "$repo/host/stop.sh" "$state" >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  [ "$rc" = 0 ] && rm -rf "$scratch" || echo "scratch install kept for a look: $scratch" >&2
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- products: generated once with fixed content, published with the tool ---
# make_product <id> <files> <MiB> [sparse GiB]: small files of 1..16 KiB in
# nested folders, the rest of the bytes in four large files.
make_product() {
  local id=$1 n=$2 total=$(( $3 * MiB )) sparse=${4:-0} folder=$bench/games/$1
  local stamp="$n $total $sparse"
  [ "$(cat "$folder.stamp" 2>/dev/null)" = "$stamp" ] && return 0
  echo "product $id: generating $n files, $(( total / MiB )) MiB ..."
  rm -rf "$folder" && mkdir -p "$folder"
  python3 - "$folder" "$n" "$total" "$sparse" <<'PY'
import hashlib, os, subprocess, sys
folder, n, total, sparse = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
open(os.path.join(folder, "Game.exe"), "wb").write(b"MZ bench")
if sparse:
    with open(os.path.join(folder, "sparse.pak"), "wb") as f:
        f.truncate(sparse << 30)   # holes: no disk blocks, reads give zeros
        f.seek((sparse << 30) // 2)
        f.write(b"middle")
    sys.exit(0)
small, used = max(n - 5, 0), 0
for i in range(small):
    size = 1024 * (1 + i % 16)
    path = os.path.join(folder, "data%02d" % (i // 5000), "set%03d" % (i // 100 % 50), "f%06d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    seed = hashlib.sha256(b"%d" % i).digest()
    open(path, "wb").write((seed * (size // 32 + 1))[:size])
    used += size
left = max(total - used, 0)
for k in range(4):
    size = left // 4 + (left % 4 if k == 3 else 0)
    with open(os.path.join(folder, "big%d.pak" % k), "wb") as f:
        subprocess.run("head -c %d /dev/zero | openssl enc -aes-128-ctr -nosalt -pass pass:big%d -pbkdf2"
                       % (size, k), shell=True, stdout=f, stderr=subprocess.DEVNULL, check=True)
PY
  echo "$stamp" >"$folder.stamp"
}
make_product large "$files" "$mib"
make_product ref 201 "$ref_mib"
[ "$sparse_gib" = 0 ] || make_product sparse 2 0 "$sparse_gib"

products="large ref"; [ "$sparse_gib" = 0 ] || products="$products sparse"
{
  echo "host = localhost"
  echo "signing_key = $key"
  # In place: the one-file update below rewrites a file at its fixed address.
  echo "file_addresses = in-place"
  for p in $products; do
    printf '\n[product %s]\ntitle = %s\nproject = BENCH\nsubtitle = BENCH.\ninstall_dir = %s\n' "$p" "${p^^}" "$p"
    printf 'executable = Game.exe\nmanifest_path = /games/%s/manifest.json\nfolder = games/%s\nversion = 1\n' "$p" "$p"
  done
} >"$bench/release.txt"
fingerprint=$(cat "$bench/release.txt" "$bench"/games/*.stamp | sha256sum | cut -d' ' -f1)
if [ "$(cat "$bench/tree.stamp" 2>/dev/null)" != "$fingerprint" ]; then
  echo "release: publishing ..."
  t0=$(now)
  rm -f "$bench/tree.stamp"
  (cd "$bench" && "$tool" publish release.txt "$tree" | tail -4)
  publish_s=$(since "$t0")
  echo "$fingerprint" >"$bench/tree.stamp"
  echo "release: published in $publish_s s (release tool, all products)"
fi

"$repo/host/stop.sh" "$state" >/dev/null 2>&1 || true
"$repo/host/start.sh" "$state" "$tree" localhost >"$bench/host-start.log" 2>&1 || die "host: $(cat "$bench/host-start.log")"
started_host=1
wine_run "$trust_ca" "$(winpath "$ca")" >/dev/null

rm -rf "$scratch" && mkdir -p "$install" "$library"
cp "$worker_exe" "$install/"
worker=$(winpath "$install/ORVELANT Update Worker.exe")
out=$scratch/monitor.txt

# run_worker <args...>: the Worker as a child of a window; job_rc, job_wall (s)
# and job_peak (MiB: the highest resident size of the Worker's Wine process,
# its working set plus Wine's own libraries, sampled every 100 ms).
run_worker() {
  local t0 peak_file=$scratch/peak
  : >"$peak_file"
  ( set +e
    [ "${ORV_BENCH_PEAK:-1}" = 1 ] || exit 0
    while :; do
      pid=$(worker_pid)
      [ -n "$pid" ] && awk '/VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null >>"$peak_file"
      sleep 0.1
    done ) &
  sampler=$!
  t0=$(now)
  job_rc=0
  wine_run "$monitor" --env "LOCALAPPDATA=$(winpath "$library")" "$worker" "$@" >"$out" 2>&1 || job_rc=$?
  job_wall=$(since "$t0")
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  sampler=
  job_peak=$(sort -n "$peak_file" | tail -1 | awk '{ printf "%.1f", $1 / 1024 }')
}
status_ms() { awk -v s="$1" '$3 == "status" && $4 == s { print $1; exit }' "$out"; }
job() {
  run_worker "/parent:{parent}" "/product:$1" "${@:2}"
  [ "$job_rc" = 0 ] && grep -q 'status    PRODUCT_CURRENT' "$out" || { sed 's/^/  /' "$out" >&2; die "job $1 failed ($job_rc)"; }
}
# Bytes the host sent (bodies, as its access log counts them) and requests
# answered since a mark (the log's size then).
log_mark() { stat -c %s "$state/logs/access.log"; }
sent_since() { tail -c +"$(($1 + 1))" "$state/logs/access.log" | awk '{ b += $10; n++ } END { printf "%d %d", b, n }'; }
bytes_of() { du -sb --apparent-size "$bench/games/$1" | cut -f1; }
count_of() { find "$bench/games/$1" -type f | wc -l; }

run_worker /sync "/parent:{parent}"
[ "$job_rc" = 0 ] || die "sync failed"
run_worker "/parent:{parent}" /product:no-such-title
base_peak=$job_peak base_wall=$job_wall

declare -A R
measure() {
  local p=$1 dir=$library/ORVELANT/Games/$1
  R[$p.files]=$(count_of "$p") R[$p.bytes]=$(bytes_of "$p")
  job "$p"; R[$p.install]=$job_wall R[$p.install_peak]=$job_peak
  echo "  $p install: $job_wall s, peak $job_peak MiB"
  # The check before a start (a job on the current product, as PLAY runs
  # it): twice, the second with the manifest kept and the file states
  # recorded by the first.
  local mark sent
  job "$p"
  mark=$(log_mark); job "$p"; sent=$(sent_since "$mark")
  R[$p.check]=$job_wall R[$p.check_peak]=$job_peak R[$p.check_bytes]=${sent% *} R[$p.check_requests]=${sent#* }
  echo "  $p check before a start: $job_wall s, ${sent% *} bytes in ${sent#* } requests, peak $job_peak MiB"
  # Verify-only: the repair, which reads and hashes every file.
  job "$p" /repair; R[$p.verify]=$job_wall R[$p.verify_peak]=$job_peak
  echo "  $p verify-only (repair): $job_wall s, peak $job_peak MiB"
  R[$p.verify_span]=$(calc "($(status_ms PRODUCT_CURRENT) - $(status_ms PRODUCT_VERIFYING)) / 1000")
  if [ -n "${ORV_BENCH_PEER_WORKER:-}" ]; then
    cp "$ORV_BENCH_PEER_WORKER" "$install/ORVELANT Update Worker.exe"
    mark=$(log_mark); job "$p"; sent=$(sent_since "$mark")
    R[$p.peer_check]=$job_wall R[$p.peer_check_bytes]=${sent% *}
    R[$p.peer_span]=$(calc "($(status_ms PRODUCT_CURRENT) - $(status_ms PRODUCT_VERIFYING)) / 1000")
    cp "$worker_exe" "$install/"
    echo "  $p check by the peer Worker (every file hashed): $job_wall s, ${sent% *} bytes, peak $job_peak MiB"
  fi
  # The Worker's own hashing loop and openssl over the same installed files.
  wine_run "$monitor" --env "ORV_TEST_SHA256_TREE=$(winpath "$dir")|$(winpath "$scratch/hash.txt")" \
    "$(winpath "$hooks_exe")" >/dev/null 2>&1 || true
  R[$p.loop]=$(awk '$1 == "us" { printf "%.2f", $2 / 1e6 }' "$scratch/hash.txt")
  local t0; t0=$(now)
  (cd "$dir" && find . -type f ! -name '.orvelant-known-good' -print0 | xargs -0 openssl dgst -sha256 >/dev/null)
  R[$p.openssl]=$(since "$t0")
  # One-file update: a new manifest (version 2) in which one small file changed.
  local m=$tree/games/$p/manifest.json target
  target=$(python3 - "$m" "$tree/games/$p/files" <<'PY'
import hashlib, json, sys
m, files = sys.argv[1], sys.argv[2]
doc = json.load(open(m))
entry = min(doc["files"], key=lambda e: (e["size"], e["path"]))
data = open(files + "/" + entry["path"], "rb").read()[::-1] + b"v2"
open(files + "/" + entry["path"], "wb").write(data)
entry["sha256"], entry["size"] = hashlib.sha256(data).hexdigest(), len(data)
doc["version"] = "2"
# A new document takes a new serial: the Worker refuses one serial signed
# over two contents.
if "serial" in doc:
    doc["serial"] += 1
open(m, "w", newline="").write(json.dumps(doc, indent=2).replace("\n", "\r\n") + "\r\n")
print(entry["path"])
PY
)
  "$tool" sign "$key" "$m" >/dev/null
  # Its compressed twin too, as the release tool makes it.
  [ ! -f "$m.gz" ] || gzip -9 -n -c "$m" >"$m.gz"
  mark=$(log_mark)
  job "$p"; R[$p.update]=$job_wall R[$p.update_peak]=$job_peak
  sent=$(sent_since "$mark"); R[$p.update_bytes]=${sent% *} R[$p.update_requests]=${sent#* }
  echo "  $p one-file update: $job_wall s, ${sent% *} bytes in ${sent#* } requests, peak $job_peak MiB"
  grep -q '"version": "2"' "$dir/version.json" || die "update of $p did not reach version 2"
  rm -f "$bench/tree.stamp"  # the tree now holds version 2: publish again next time
}
if [ "${ORV_BENCH_SPARSE_ONLY:-0}" != 1 ]; then
for p in large ref; do echo "measuring $p ..."; measure "$p"; done

echo
echo "== Worker on $(calc "${R[large.bytes]} / $MiB" 0) MiB in ${R[large.files]} files (large) and $(calc "${R[ref.bytes]} / $MiB" 0) MiB in ${R[ref.files]} files (reference), this run"
echo "   Worker start + catalog lookup alone: $base_wall s, peak $base_peak MiB"
printf '  %-22s %12s %12s %12s %14s %14s\n' step "large s" "large MiB" "ref s" "large/ref per file" "large/ref per byte"
for s in install check verify update; do
  lt=${R[large.$s]} rt=${R[ref.$s]}
  printf '  %-22s %12s %12s %12s %14s %14s\n' "$s" "$lt" "${R[large.${s}_peak]}" "$rt" \
    "$(calc "($lt / ${R[large.files]}) / ($rt / ${R[ref.files]})")x" \
    "$(calc "($lt / ${R[large.bytes]}) / ($rt / ${R[ref.bytes]})")x"
done
echo "   (peak: the Worker's Wine process's highest resident size; reference peaks: install ${R[ref.install_peak]}, verify ${R[ref.verify_peak]}, update ${R[ref.update_peak]} MiB)"
echo
echo "== hashing: verify-only span (PRODUCT_VERIFYING..PRODUCT_CURRENT) against the Worker's own hashing loop and openssl dgst -sha256, same files"
printf '  %-10s %12s %12s %12s %16s %16s\n' product "verify s" "loop s" "openssl s" "verify/loop" "verify/openssl"
for p in large ref; do
  printf '  %-10s %12s %12s %12s %16s %16s\n' "$p" "${R[$p.verify_span]}" "${R[$p.loop]}" "${R[$p.openssl]}" \
    "$(calc "${R[$p.verify_span]} / ${R[$p.loop]}")x" "$(calc "${R[$p.verify_span]} / ${R[$p.openssl]}")x"
done
echo "   goals: verify/loop at most 1.20x (the loop hashes on one thread, the verify on one per processor, at most 8); peak working set under 64 MiB"
echo
echo "== the manifest on the wire, per file (large: ${R[large.files]} files)"
for p in large ref; do
  m=$tree/games/$p/manifest.json
  plain=$(stat -c %s "$m"); packed=$(stat -c %s "$m.gz" 2>/dev/null || echo 0)
  printf '  %-10s plain %10d bytes (%s per file)   compressed twin %10d bytes (%s per file)\n' "$p" "$plain" \
    "$(calc "$plain / ${R[$p.files]}" 1)" "$packed" "$(calc "$packed / ${R[$p.files]}" 1)"
done
if [ -n "${ORV_BENCH_PEER_WORKER:-}" ]; then
  echo
  echo "== the check before a start on the current product: this build against the peer Worker ($ORV_BENCH_PEER_WORKER), same files, this run ($(nproc) processors)"
  printf '  %-10s %10s %14s %10s %14s %12s\n' product "this s" "this bytes" "peer s" "peer bytes" "peer/this s"
  for p in large ref; do
    printf '  %-10s %10s %14s %10s %14s %12s\n' "$p" "${R[$p.check]}" "${R[$p.check_bytes]}" \
      "${R[$p.peer_check]}" "${R[$p.peer_check_bytes]}" "$(calc "${R[$p.peer_check]} / ${R[$p.check]}")x"
  done
  echo "   goal: the large product's check under 2 s on loopback"
  echo "   verify-only (repair) span: large ${R[large.verify_span]} s against the peer's check ${R[large.peer_span]} s (both hash every file)"
fi
fi

if [ "$sparse_gib" != 0 ]; then
  echo
  echo "== sparse ${sparse_gib} GiB file: install, a kill at half way and the resume, verify"
  dir=$library/ORVELANT/Games/sparse
  ( set +e; sleep 1; while :; do
      s=$(stat -c %s "$install/.orvelant-staging/sparse/sparse.pak.part" 2>/dev/null || echo 0)
      if [ "$s" -gt $(( sparse_gib << 29 )) ]; then kill "$(worker_pid)"; break; fi
      sleep 0.2
    done ) & killer=$!
  run_worker "/parent:{parent}" /product:sparse
  wait "$killer" 2>/dev/null || true
  echo "  killed run: exit $job_rc after $job_wall s, staged $(stat -c %s "$install/.orvelant-staging/sparse/sparse.pak.part" 2>/dev/null || echo 0) bytes"
  job sparse; echo "  resumed install: $job_wall s, peak $job_peak MiB, size $(stat -c %s "$dir/sparse.pak")"
  job sparse; echo "  verify-only: $job_wall s, peak $job_peak MiB"
fi
