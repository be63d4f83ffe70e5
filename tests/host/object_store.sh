#!/usr/bin/env bash
# The update tree served from an S3-compatible object store (Swift with its
# S3 layer, host/store-start.sh) behind a Traffic Server edge: each publish
# goes up with release/s3-upload.sh, and the real Update Worker under Wine
# installs and then updates the product (its large file by pieces) through
# the edge; the bucket is pruned after the release tool's prune and a new
# player still installs the current release from it.
#   tests/host/object_store.sh <build-dir>
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root (port 443, the store's swift user)"; exit 77; }
for c in swift-proxy-server swift-object-server rclone memcached traffic_server; do
  command -v "$c" >/dev/null || { echo "skipped: $c is not installed"; exit 77; }
done
dir=$build/tests/object-store
tool=$build/native/orvelant-release
key=$build/keys/update-signing.pem
monitor=$build/tools/worker-monitor.exe
prefix=$build/wineprefix
store_port=8080
rm -rf "$dir"
mkdir -p "$dir/game/data" "$dir/manifests"
stop_all() {
  "$repo/host/edge-stop.sh" "$dir/edge" >/dev/null 2>&1 || true
  "$repo/host/store-stop.sh" "$dir/store" >/dev/null 2>&1 || true
}
trap stop_all EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
winpath() { echo "Z:${1//\//\\}"; }
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }

"$repo/host/store-start.sh" "$dir/store" $store_port
secret=$(cat "$dir/store/etc/s3-secret")
export RCLONE_CONFIG_ORVSTORE_TYPE=s3 RCLONE_CONFIG_ORVSTORE_PROVIDER=Other \
  RCLONE_CONFIG_ORVSTORE_ENDPOINT=http://127.0.0.1:$store_port \
  RCLONE_CONFIG_ORVSTORE_ACCESS_KEY_ID=orvelant:publisher \
  RCLONE_CONFIG_ORVSTORE_SECRET_ACCESS_KEY=$secret \
  RCLONE_CONFIG=/dev/null ORVELANT_RELEASE=$tool
unset AWS_CA_BUNDLE
bucket=orvstore:tree
rclone mkdir "$bucket" --s3-bucket-acl public-read

# release <n>: the product of release n, published and uploaded (the
# uploader's lines in upload-<n>).
release() {
  local n=$1 k
  cp "$build/samples/ORVELANT.exe" "$dir/game/ORVELANT.exe"
  rand "world-$n" 300000 >"$dir/game/data/world.pak"      # changes every release
  rand music 200000 >"$dir/game/data/music.pak"          # never changes
  printf 'release=%s\r\n' "$n" >"$dir/game/data/release.txt"
  # Large enough to travel by pieces; each release rewrites 16 KiB in three places.
  [ -f "$dir/levels-base.pak" ] || rand levels 12582912 >"$dir/levels-base.pak"
  cp "$dir/levels-base.pak" "$dir/game/data/levels.pak"
  for k in 1 2 3; do
    [ "$n" = 0 ] || rand "levels-$n-$k" 16384 |
      dd of="$dir/game/data/levels.pak" bs=16384 seek=$((k * 200 + n)) conv=notrunc status=none
  done
  cat >"$dir/release.txt" <<TXT
host = localhost
signing_key = $key
keep_releases = 0
keep_days = 0
[control]
signal = SIGNAL // RELEASE $n
[product store-game]
title = STORE
install_dir = store-game
executable = ORVELANT.exe
manifest_path = /games/store-game/stable/manifest.json
folder = game
version = 1.$n.0
TXT
  "$tool" publish "$dir/release.txt" "$dir/tree" >/dev/null
  cp "$dir/tree/games/store-game/stable/manifest.json" "$dir/manifests/1.$n.0.json"
  "$repo/release/s3-upload.sh" upload "$dir/tree" "$bucket" >"$dir/upload-$n"
}

# The edge: players reach https://localhost/ on 127.0.0.1:443; its origin is
# the store's public view of the bucket.
"$repo/host/make-certs.sh" "$dir/certs" localhost >/dev/null
ORVELANT_EDGE_ORIGIN=http://127.0.0.1:$store_port/v1/AUTH_orvelant/tree/ \
  "$repo/host/edge-start.sh" "$dir/edge" "$dir/certs" 127.0.0.1 $store_port >/dev/null
"$repo/scripts/wine-prefix.sh" "$prefix" >/dev/null
"$repo/scripts/wine-run" "$prefix" "$build/tools/trust-ca.exe" "$(winpath "$dir/certs/certs/ca.crt")" >/dev/null

# player <name> <args...>: one Worker run of a player with its own install.
player() {
  local p=$dir/players/$1
  shift
  mkdir -p "$p/local"
  [ -f "$p/ORVELANT Update Worker.exe" ] || cp "$build/bin/ORVELANT Update Worker.exe" "$p/"
  "$repo/scripts/wine-run" "$prefix" "$monitor" --env "LOCALAPPDATA=$(winpath "$p/local")" \
    "$(winpath "$p/ORVELANT Update Worker.exe")" "/parent:{parent}" "$@" >>"$p/runs" 2>&1 || true
}
# installed <player> <version>: the player's install is exactly that release.
installed() {
  local d=$dir/players/$1/local/ORVELANT/Games/store-game manifest=$dir/manifests/$2.json path sha bad=0
  grep -q "\"version\": *\"$2\"" "$d/version.json" 2>/dev/null || { fail "$1 is not on $2"; return; }
  while IFS=$'\t' read -r path sha; do
    [ "$(sha256sum "$d/$path" 2>/dev/null | cut -d' ' -f1)" = "$sha" ] || bad=1
  done < <(tr -d '\r' <"$manifest" | awk -F'"' '/"path":/ { p = $4 } /"sha256":/ { print p "\t" $4 }')
  [ "$bad" = 0 ] || fail "$1's files do not match release $2"
}
# served <path>: the status and Cache-Control the edge answers for a path.
served() {
  curl -sS --cacert "$dir/certs/certs/ca.crt" -o /dev/null -D - "https://localhost/$1" | tr -d '\r' |
    awk 'NR == 1 { s = $2 } tolower($1) == "cache-control:" { sub(/^[^:]*: */, ""); c = $0 } END { print s, c }'
}

echo "== release 1.0.0 uploaded and installed through the edge"
release 0
# The steps come in order, and each holds its kind.
awk '{ print $2 }' "$dir/upload-0" | sort -c -n || fail "the upload's steps are out of order"
grep -q '^put 1 content/' "$dir/upload-0" || fail "no content object in step 1"
grep -q '^put 3 games/store-game/stable/manifest.json.gz$' "$dir/upload-0" || fail "the manifest's twin is not in step 3"
grep -q '^put 4 launcher/catalog.json.sig$' "$dir/upload-0" || fail "the catalog's signature is not in step 4"
grep -qE '^put [^2] .*\.pieces' "$dir/upload-0" && fail "a piece list outside step 2"
same_count=$(find "$dir/tree" -type f ! -name '.orvelant-*' | wc -l)
[ "$(wc -l <"$dir/upload-0")" = "$same_count" ] || fail "the first upload sent $(wc -l <"$dir/upload-0") of $same_count files"
"$repo/release/s3-upload.sh" upload "$dir/tree" "$bucket" >"$dir/upload-again"
[ ! -s "$dir/upload-again" ] || fail "an unchanged tree was sent again: $(head -3 "$dir/upload-again")"
content=$(grep -m1 '^put 1 content/' "$dir/upload-0" | cut -d' ' -f3)
[ "$(served "$content")" = "200 public, max-age=31536000, immutable" ] || fail "content object: $(served "$content")"
[ "$(served launcher/control.json)" = "200 no-cache" ] || fail "control document: $(served launcher/control.json)"
player first /sync
player first /product:store-game
installed first 1.0.0

echo "== release 1.1.0: only what changed goes up; the Worker updates by pieces"
find "$dir/tree/content" -type f | sed "s|^$dir/tree/||" | sort >"$dir/content-0"
release 1
while read -r _ step path; do
  [ "$step" = 1 ] && grep -qxF "$path" "$dir/content-0" && fail "unchanged object $path sent again"
done <"$dir/upload-1"
grep -q '^put 4 launcher/control.json$' "$dir/upload-1" || fail "the new control document was not sent"
player first /sync
player first /product:store-game
installed first 1.1.0
grep -q "whole file" "$dir/players/first/logs/updater.log" 2>/dev/null &&
  fail "the update of the large file fell back to whole files"

echo "== prune: the bucket follows the tree after the grace period"
"$repo/release/s3-upload.sh" prune "$dir/tree" "$bucket" --dry-run >"$dir/prune-dry"
gone=$(grep '^would delete content/' "$dir/prune-dry" | cut -d' ' -f3 | head -1)
[ -n "$gone" ] || fail "the dry run names no object of release 1.0.0"
rclone lsf -R --files-only "$bucket" >"$dir/remote-dry"
grep -qxF "$gone" "$dir/remote-dry" || fail "the dry run deleted $gone"
"$repo/release/s3-upload.sh" prune "$dir/tree" "$bucket" >"$dir/prune"
rclone lsf -R --files-only "$bucket" | sort >"$dir/remote"
grep -qxF "$gone" "$dir/remote" && fail "$gone is still in the bucket after prune"
# (The edge may keep its copy for a year; the store no longer has it.)
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$store_port/v1/AUTH_orvelant/tree/$gone")" = 404 ] ||
  fail "the store still serves $gone"
comm -13 "$dir/remote" <(find "$dir/tree" -type f ! -name '.orvelant-*' | sed "s|^$dir/tree/||" | sort) >"$dir/missing"
[ ! -s "$dir/missing" ] || fail "the bucket lacks what the tree keeps: $(head -3 "$dir/missing")"
player second /sync
player second /product:store-game
installed second 1.1.0

echo "== a new signing key: only the signatures go up again"
"$tool" keygen "$dir/other.pem" "$dir/other.pub.pem" >/dev/null
"$tool" publish "$dir/release.txt" "$dir/tree" --key "$dir/other.pem" >/dev/null
"$repo/release/s3-upload.sh" upload "$dir/tree" "$bucket" >"$dir/upload-key"
grep -q '^put 2 content/.*\.pieces\.sig$' "$dir/upload-key" || fail "the piece list's new signature was not sent"
grep -q '^put 1 ' "$dir/upload-key" && fail "content objects were sent again: $(grep -m1 '^put 1 ' "$dir/upload-key")"

if [ "$failures" != 0 ]; then
  for f in "$dir"/players/*/runs; do echo "--- $f"; tail -20 "$f"; done
  exit 1
fi
echo "ok"
