#!/usr/bin/env bash
# What an upload to an object store costs: a synthetic product (80 % small
# files, 18 % medium, 2 % large by count) published and uploaded with
# release/s3-upload.sh into the private Swift store (host/store-start.sh),
# then published and uploaded again with 2 % of its files changed, then
# uploaded a third time with nothing changed. For each upload: wall time,
# objects and bytes sent; the peers in the same run are the first upload
# and the tree's own size.
#   ./bench/s3_upload_bench.sh      (from the repository root, after ./scripts/build.sh)
# Environment: ORV_BENCH_FILES (20000) and ORV_BENCH_MIB (1024) size the product.
# The run stays in build/bench-s3/.
ORV_BENCH_PACKAGES="rclone:rclone swift-proxy-server:swift-proxy swift-object-server:swift-object
  swift-container-server:swift-container swift-account-server:swift-account memcached:memcached"
. "$(dirname "$0")/bench-env.sh"
set -euo pipefail
tool=$build/native/orvelant-release
work=$build/bench-s3
files=${ORV_BENCH_FILES:-20000}
mib=${ORV_BENCH_MIB:-1024}
[ -x "$tool" ] || { echo "s3_upload_bench: $tool is missing: run ./scripts/build.sh first" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "s3_upload_bench: needs root (the store's swift user)" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work/game"
cd "$work"
trap '"$repo/host/store-stop.sh" "$work/store" >/dev/null 2>&1 || true' EXIT
"$tool" keygen key.pem public.pem >/dev/null

echo "product: $files files, $mib MiB"
python3 "$repo/bench/synthetic_product.py" make game "$files" "$mib"
printf '%s\n' '[product bench]' 'title = BENCH' 'install_dir = bench' 'executable = Game.exe' \
  'manifest_path = /games/bench/manifest.json' 'folder = game' 'version = 1' >release.txt

"$repo/host/store-start.sh" "$work/store" 8080 >/dev/null
secret=$(cat "$work/store/etc/s3-secret")
export RCLONE_CONFIG_BENCH_TYPE=s3 RCLONE_CONFIG_BENCH_PROVIDER=Other \
  RCLONE_CONFIG_BENCH_ENDPOINT=http://127.0.0.1:8080 \
  RCLONE_CONFIG_BENCH_ACCESS_KEY_ID=orvelant:publisher \
  RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY=$secret \
  RCLONE_CONFIG=/dev/null ORVELANT_RELEASE=$tool
unset AWS_CA_BUNDLE
rclone mkdir bench:tree --s3-bucket-acl public-read

# upload_measured <label>: time, objects and bytes of one upload.
upload_measured() {
  local start end
  start=$(date +%s%N)
  "$repo/release/s3-upload.sh" upload tree bench:tree >sent
  end=$(date +%s%N)
  elapsed_ms=$(((end - start) / 1000000))
  objects=$(wc -l <sent)
  bytes=$(cut -d' ' -f3- sent | (cd tree && tr '\n' '\0' | xargs -0r stat -c %s) | awk '{ s += $1 } END { printf "%.0f\n", s }')
  echo "$1: ${elapsed_ms} ms, $objects objects, $bytes bytes sent"
}

"$tool" publish release.txt tree --key key.pem >/dev/null
tree_objects=$(find tree -type f ! -name '.orvelant-*' | wc -l)
tree_bytes=$(find tree -type f ! -name '.orvelant-*' -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f\n", s }')
echo "tree: $tree_objects objects, $tree_bytes bytes"
upload_measured "first upload"
t1=$elapsed_ms o1=$objects b1=$bytes

changed=$(python3 "$repo/bench/synthetic_product.py" change game)
sed -i 's/^version = 1$/version = 2/' release.txt
"$tool" publish release.txt tree --key key.pem >/dev/null
upload_measured "second upload (2 % of files changed, $changed bytes in them)"
t2=$elapsed_ms o2=$objects b2=$bytes
upload_measured "third upload (nothing changed)"
t3=$elapsed_ms o3=$objects
python3 - "$tree_bytes" "$changed" "$t1" "$o1" "$b1" "$t2" "$o2" "$b2" "$t3" "$o3" <<'PY'
import sys
tree, changed, t1, o1, b1, t2, o2, b2, t3, o3 = map(int, sys.argv[1:])
print('first upload: %.3f x the tree\'s bytes sent' % (b1 / tree))
print('second upload: %.3f x the changed bytes sent, %d objects (%.3f x the first), time %.3f x the first'
      % (b2 / changed, o2, o2 / o1, t2 / t1))
print('unchanged upload: %d objects, time %.3f x the first' % (o3, t3 / t1))
PY
