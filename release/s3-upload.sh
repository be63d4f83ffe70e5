#!/usr/bin/env bash
# Uploads a published tree to an S3-compatible bucket with rclone, in the
# order a publish makes things visible, and prunes the bucket after the
# release tool's prune.
#
#   release/s3-upload.sh upload <tree> <remote:bucket>
#   release/s3-upload.sh prune <tree> <remote:bucket> [--dry-run] [--now <unix-seconds>]
#
# <remote:bucket> is an rclone remote (rclone config, or RCLONE_CONFIG_<NAME>_*
# variables; see README.md). ORVELANT_RELEASE names the release tool (default
# build/native/orvelant-release beside this script's repository).
#
# upload: content objects first (product files, piece objects and their block
# sums, packs, Setups), then piece lists, pack indexes and root documents
# (launcher/root/), then manifests
# with their twins and signatures, then the launcher documents and their
# signatures; each step ends before the next begins, so a reader of the bucket
# never meets a document naming an object the bucket lacks. An object at a
# content address (/content/, /launcher/releases/) that the bucket already
# holds is never sent again (a signature there is checked: a new key signs
# the piece lists again); anything else is sent when its MD5 differs from
# the bucket's. Nothing is deleted. Every object carries the Cache-Control
# the update host gives its path. One line per object sent: "put <step> <path>".
#
# prune: runs the release tool's prune on the tree (it decides, after the
# grace period, what no kept release and no current document names), then
# removes from the bucket every object the tree no longer holds. With
# --dry-run nothing is removed anywhere; the objects that would go are listed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool=${ORVELANT_RELEASE:-$here/../build/native/orvelant-release}

die() { echo "s3-upload: $*" >&2; exit 1; }
usage() {
  echo "usage: s3-upload.sh upload <tree> <remote:bucket>" >&2
  echo "       s3-upload.sh prune <tree> <remote:bucket> [--dry-run] [--now <unix-seconds>]" >&2
  exit 2
}

[ $# -ge 3 ] || usage
cmd=$1 remote=$3
[ "$cmd" = upload ] || [ "$cmd" = prune ] || usage
[ -d "$2" ] || die "tree \"$2\" is not a folder"
tree=$(cd "$2" && pwd -P)
[ -e "$tree/.orvelant-published" ] && [ -f "$tree/launcher/catalog.json" ] ||
  die "\"$tree\" is not a published tree (no .orvelant-published or launcher/catalog.json)"
[[ $remote == *:* ]] || die "remote \"$remote\" is not of the form remote:bucket"
command -v rclone >/dev/null || die "rclone is not installed (apt-get install rclone)"
shift 3
dry=0 now=()
while [ $# -gt 0 ]; do
  case $1 in
    --dry-run) [ "$cmd" = prune ] || usage; dry=1 ;;
    --now) [ "$cmd" = prune ] && [ $# -ge 2 ] || usage; now=(--now "$2"); shift ;;
    *) usage ;;
  esac
  shift
done

parent=$(dirname "$tree") name=$(basename "$tree")
work=$(mktemp -d "$parent/.$name.s3-upload.XXXXXX") || die "cannot write beside the tree in $parent"
trap 'rm -rf "$work"' EXIT

# snapshot: a copy of the tree made of hard links (no bytes), taken under the
# tree's lock so that it is one whole publish; the upload then reads it while
# later publishes go on.
snapshot() {
  exec 9>>"$parent/.$name.lock"
  flock 9
  cp -al "$tree" "$work/tree"
  exec 9>&-
  (cd "$work/tree" && find . -type f ! -name '.orvelant-*' -printf '%P\n' | LC_ALL=C sort) >"$work/all"
}

if [ "$cmd" = upload ]; then
  snapshot
  # What the documents are, by what names them: the catalog names the
  # manifests; everything else at the top of launcher/ is a launcher document.
  tr -d '\r' <"$work/tree/launcher/catalog.json" |
    sed -n 's/^.*"manifest_path": *"\/\([^"]*\)".*$/\1/p' | LC_ALL=C sort -u >"$work/manifests"
  LC_ALL=C awk -v w="$work" '
    NR == FNR { manifest[$0] = 1; next }
    {
      p = $0; base = p
      sub(/\.(gz|sigs?)$/, "", base)
      if (p ~ /^launcher\/[^\/]*$/) s = 4
      else if (base in manifest) s = 3
      else if (p ~ /\.(pieces|packs)(\.sigs?)?$/ || p ~ /^launcher\/root\//) s = 2
      else s = 1
      print p >(w "/step" s)
    }' "$work/manifests" "$work/all"
  touch "$work/step1" "$work/step2" "$work/step3" "$work/step4"

  # put <step> <list> <cache-control> <how unchanged objects are found>
  put() {
    [ -s "$2" ] || return 0
    rclone copy "$work/tree" "$remote" --files-from-raw "$2" --fast-list \
      --header-upload "Cache-Control: $3" "$4" --s3-no-check-bucket \
      -v --stats 0 --log-file "$work/log" --retries 3 ||
      { sed 's/^/  /' "$work/log" >&2; die "step $1 failed; nothing after it was sent"; }
    sed -n 's/^.* INFO  : \(.*\): Copied (.*)$/put '"$1"' \1/p' "$work/log"
    : >"$work/log"
  }
  immutable='public, max-age=31536000, immutable'
  fixed='^(content|launcher/releases)/'
  for s in 1 2 3 4; do
    grep -E "$fixed" "$work/step$s" | grep -vE '\.sigs?$' >"$work/step$s.fixed" || true
    # A piece list's signature at a content address is signed again with a
    # new key: cached like its list, but sent when it changed.
    grep -E "$fixed" "$work/step$s" | grep -E '\.sigs?$' >"$work/step$s.resigned" || true
    grep -vE "$fixed" "$work/step$s" >"$work/step$s.moving" || true
    # Content addresses never change their bytes: present is enough.
    put "$s" "$work/step$s.fixed" "$immutable" --ignore-existing
    put "$s" "$work/step$s.resigned" "$immutable" --checksum
    put "$s" "$work/step$s.moving" "no-cache" --checksum
  done
  exit 0
fi

# prune: the tool decides what the tree keeps; the bucket follows the tree.
if [ "$dry" = 1 ]; then
  "$tool" prune "$tree" --dry-run yes "${now[@]}" >"$work/tool" || die "the release tool's prune failed"
else
  "$tool" prune "$tree" "${now[@]}" >"$work/tool" || die "the release tool's prune failed"
fi
sed 's/^/tree: /' "$work/tool"
# The bucket is listed before the tree is read: an object an upload of a
# later publish sends meanwhile is then never taken for one the tree dropped.
rclone lsf -R --files-only --fast-list "$remote" >"$work/remote.unsorted" || die "cannot list $remote"
snapshot
sed -n 's/^would remove \/\{0,1\}//p' "$work/tool" | LC_ALL=C sort >"$work/going"
LC_ALL=C comm -23 "$work/all" "$work/going" >"$work/kept"
LC_ALL=C sort "$work/remote.unsorted" >"$work/remote"
LC_ALL=C comm -23 "$work/remote" "$work/kept" >"$work/delete"
if [ "$dry" = 1 ]; then
  sed 's/^/would delete /' "$work/delete"
elif [ -s "$work/delete" ]; then
  rclone delete "$remote" --files-from-raw "$work/delete" --no-traverse -v --stats 0 \
    --log-file "$work/log" --retries 3 || { sed 's/^/  /' "$work/log" >&2; die "deleting from $remote failed"; }
  sed 's/^/deleted /' "$work/delete"
fi
echo "$(wc -l <"$work/delete") objects $([ "$dry" = 1 ] && echo would go || echo deleted) from $remote, $(wc -l <"$work/kept") kept"
