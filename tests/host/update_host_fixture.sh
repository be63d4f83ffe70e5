#!/usr/bin/env bash
# The update host the transport tests run against: nginx over TLS on port 443
# serving a test tree (random files, signed documents and their broken
# variants), its CA trusted in the project's Wine prefix.
#   update_host_fixture.sh start|stop <build-dir>
set -euo pipefail
action=${1:?start|stop} build=${2:?build dir}
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$build" && pwd)
base=$build/tests/host
state=$base/state tree=$base/tree
tool=$build/native/orvelant-release
key=$build/keys/update-signing.pem

# The hostile host beside nginx (tests/host/hostile_host.py): the target of
# the test bed's redirects and the source of an endless body.
hostile_port=44300
stop_hostile() {
  local pid
  pid=$(cat "$state/run/hostile.pid" 2>/dev/null) || return 0
  if grep -qs hostile_host.py "/proc/$pid/cmdline"; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
  fi
  rm -f "$state/run/hostile.pid"
}

if [ "$action" = stop ]; then
  "$repo/host/stop.sh" "$state"
  stop_hostile
  exit 0
fi
stop_hostile

# Only what this script owns is remade; other folders of the tree (a
# benchmark's large files) stay.
rm -rf "$tree/files" "$tree/documents" "$tree/launcher" "$tree/games" "$tree/content" "$tree/setup" "$tree/root-game.json"* "$base/other-key"
mkdir -p "$tree/files/sub dir" "$tree/documents" "$tree/launcher" "$base/other-key"

# Files to download. Fixed seeds keep runs comparable.
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
rand a 4194304 >"$tree/files/blob-4m.bin"
rand b 1048576 >"$tree/files/blob-1m.bin"
rand c 1000 >"$tree/files/sub dir/small.bin"
: >"$tree/files/empty.bin"
rand d 9437184 >"$tree/files/big-9m.bin"
rand g 67108864 >"$tree/files/blob-64m.bin"   # long enough for 20 s at 1024 KiB/s

sign() { "$tool" sign "$key" "$1" >/dev/null; }
doc() { printf '%s' "$2" >"$tree/documents/$1"; sign "$tree/documents/$1"; }

# Documents as the publisher would sign them.
doc catalog.json $'{\r\n  "products": [\r\n    {\r\n      "id": "first-title",\r\n      "title": "HALCYRA",\r\n      "install_dir": "first-title",\r\n      "executable": "ORVELANT.exe",\r\n      "manifest_path": "/games/first-title/stable/manifest.json"\r\n    }\r\n  ]\r\n}\r\n'
doc news.json $'{\r\n  "items": [\r\n    {"title": "SERVER // ONLINE", "body": "\xe6\x8e\xa5\xe7\xb6\x9a\xe5\xae\x8c\xe4\xba\x86"}\r\n  ]\r\n}\r\n'
doc control.json $'{\r\n  "service_state": "online",\r\n  "offline_allowed": true\r\n}\r\n'
doc control-signal.json $'{\r\n  "service_state": "normal",\r\n  "signal": "SIGNAL // TEST FEED",\r\n  "announcement": "HOST ANNOUNCEMENT"\r\n}\r\n'
doc catalog-no-token.json $'{\r\n  "product_list": []\r\n}\r\n'
doc tiny.json '{}'

d=$tree/documents
sig=$(tr -d '\r\n' <"$d/catalog.json.sig")
# One changed byte: a trailing newline added after signing.
cp "$d/catalog.json" "$d/catalog-changed.json"; printf '\n' >>"$d/catalog-changed.json"
cp "$d/catalog.json.sig" "$d/catalog-changed.json.sig"
# The same signature in other layouts.
cp "$d/catalog.json" "$d/catalog-split.json"
printf '%s' "$sig" | fold -w 64 | sed 's/$/\r/' >"$d/catalog-split.json.sig"
cp "$d/catalog.json" "$d/catalog-spaced.json"
printf '  %s\t\r\n' "$(printf '%s' "$sig" | tr 'a-f' 'A-F' | sed 's/../& /g')" >"$d/catalog-spaced.json.sig"
cp "$d/catalog.json" "$d/catalog-short.json"; printf '%s' "${sig:0:510}" >"$d/catalog-short.json.sig"
cp "$d/catalog.json" "$d/catalog-long.json"; printf '%s%s' "$sig" "00" >"$d/catalog-long.json.sig"
cp "$d/catalog.json" "$d/catalog-odd.json"; printf '%s0' "$sig" >"$d/catalog-odd.json.sig"
cp "$d/catalog.json" "$d/catalog-bom.json"; printf '\xef\xbb\xbf%s' "$sig" >"$d/catalog-bom.json.sig"
cp "$d/catalog.json" "$d/catalog-nosig.json"
# Documents of successive publishes, for the replay tests: a serial and an
# expiry at the top, as the release tool stamps them.
far=2099-12-31T23:59:59Z
# restamp <file> <serial> <expires> [more lines]: the document stamped and signed.
restamp() {
  { printf '{\r\n  "serial": %s,\r\n  "expires": "%s",\r\n%s' "$2" "$3" "${4:-}"; tail -c +4 "$1"; } >"$1.tmp"
  mv "$1.tmp" "$1"; sign "$1"
}
for n in catalog-s5 catalog-s4 catalog-s6-expired; do cp "$d/catalog.json" "$d/$n.json"; done
sed 's/"HALCYRA"/"HALCYRA II"/' "$d/catalog.json" >"$d/catalog-s5-other.json"
restamp "$d/catalog-s5.json" 5 $far; restamp "$d/catalog-s4.json" 4 $far
restamp "$d/catalog-s5-other.json" 5 $far; restamp "$d/catalog-s6-expired.json" 6 2020-01-01T00:00:00Z
cp "$d/news.json" "$d/news-s5.json"; restamp "$d/news-s5.json" 5 $far
for n in control-s5 control-s4 control-s6; do cp "$d/control.json" "$d/$n.json"; done
restamp "$d/control-s5.json" 5 $far "  \"catalog_serial\": 5,"$'\r\n'"  \"catalog_sha256\": \"$(sha256sum "$d/catalog-s5.json" | cut -d' ' -f1)\","$'\r\n'
restamp "$d/control-s4.json" 4 $far
restamp "$d/control-s6.json" 6 $far "  \"catalog_serial\": 7,"$'\r\n'
cp "$d/control-signal.json" "$d/control-signal-s5.json"
restamp "$d/control-signal-s5.json" 5 $far "$(for n in catalog news; do
  printf '  "%s_serial": 5,\r\n  "%s_sha256": "%s",\r\n' $n $n "$(sha256sum "$d/$n-s5.json" | cut -d' ' -f1)"; done)"$'\r\n'
# Signed by a key that is not the Worker's.
"$tool" keygen "$base/other-key/key.pem" "$base/other-key/key.pub.pem" >/dev/null
cp "$d/catalog.json" "$d/catalog-other-key.json"
"$tool" sign "$base/other-key/key.pem" "$d/catalog-other-key.json" >/dev/null
# An endless-looking body: more than the Worker takes into memory.
{ printf '{"products": ['; rand e 9437184 | base64 -w 0; printf ']}'; } >"$d/catalog-huge.json"
sign "$d/catalog-huge.json"

# Products. manifest <name> <version or -> <entry>...; an entry is
# "path[|url[|sha256]]" of a file under games/<name>/files/ (the sha256 and
# size are taken from that file unless given).
manifest() {
  local name=$1 version=$2; shift 2
  local dir=$tree/games/$name nl=$'\r\n' out sep=""
  out="{$nl"
  [ "$version" != - ] && out+="  \"version\": \"$version\",$nl"
  out+="  \"files\": ["
  for entry in "$@"; do
    IFS='|' read -r path url sha <<<"$entry"
    local file=$dir/files/${path//\\\\//}   # a JSON "\\" separator is a folder too
    [ -n "$sha" ] || sha=$(sha256sum "$file" | cut -d' ' -f1)
    local size=0; [ -f "$file" ] && size=$(stat -c %s "$file")
    out+="$sep$nl    {\"path\": \"$path\", \"sha256\": \"$sha\", \"size\": $size"
    [ -n "$url" ] && out+=", \"url\": \"$url\""
    out+="}"
    sep=","
  done
  out+="$nl  ]$nl}$nl"
  mkdir -p "$dir"
  printf '%s' "$out" >"$dir/manifest.json"
  sign "$dir/manifest.json"
}
gamefile() { mkdir -p "$(dirname "$tree/games/$1/files/$2")"; rand "$1-$2" "$3" >"$tree/games/$1/files/$2"; }

gamefile four Game.exe 70000; gamefile four data/a.pak 300000; gamefile four data/b.pak 200000
gamefile four c.txt 1000
manifest four 1.2.0 Game.exe data/a.pak data/b.pak c.txt
manifest empty 2.0
gamefile three Game.exe 50000; gamefile three one.pak 100000; gamefile three two.pak 100000
manifest three 3.0.0 Game.exe one.pak two.pak
gamefile three-bad Game.exe 50000; gamefile three-bad one.pak 100000; gamefile three-bad two.pak 100000
manifest three-bad 3.0.1 Game.exe "one.pak||$(printf '0%.0s' {1..64})" two.pak
# The same kind of product behind a host that answers every Range with 200
# and the whole file, as a cache may after a revalidation.
gamefile whole Game.exe 50000; gamefile whole one.pak 100000
manifest whole 1.0.0 "Game.exe|/norange/games/whole/files/Game.exe" "one.pak|/norange/games/whole/files/one.pak"
gamefile quoted Game.exe 1000
manifest quoted '1.\"2\\x' Game.exe
gamefile plain Game.exe 1000
manifest plain - Game.exe
manifest bad-path 1 "../escape.bin||$(printf 'a%.0s' {1..64})"
gamefile urls 'sub/x.bin' 3000
manifest urls 1 'sub\\x.bin' 'explicit.bin|/files/sub%20dir/small.bin|'"$(sha256sum "$tree/files/sub dir/small.bin" | cut -d' ' -f1)"
manifest full-url 1 "Game.exe|https://evil.example/Game.exe|$(printf 'a%.0s' {1..64})"
gamefile slow Game.exe 20000; gamefile slow big1.pak 1048576; gamefile slow big2.pak 1048576
manifest slow 1 Game.exe "big1.pak|/slow/games/slow/files/big1.pak" "big2.pak|/slow/games/slow/files/big2.pak"

# Several requests in flight, through the hostile host: "wide" has 300 small
# files and one of 1.5 MiB, sent at about 256 KiB/s a request; "crowd" 24 of
# 256 KiB, at local speed or slowly; "flaky" files whose odd requests fail
# (a dropped connection, a 503, a part answer that starts elsewhere).
python3 - "$tree/games" <<'PY'
import os, random, sys
r = random.Random(29)
def put(path, n):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(r.randbytes(n))
for k in range(300):
    put("%s/wide/files/s%02d/f%03d.bin" % (sys.argv[1], k // 30, k), 2048 + k)
put(sys.argv[1] + "/wide/files/large.pak", 1572864)
for k in range(24):
    put("%s/crowd/files/c%02d.pak" % (sys.argv[1], k), 262144)
put(sys.argv[1] + "/flaky/files/Game.exe", 100000)
put(sys.argv[1] + "/flaky/files/one.pak", 50000)
put(sys.argv[1] + "/flaky/files/big.pak", 3145728)
put(sys.argv[1] + "/flaky/files/big2.pak", 2097152)
PY
entries=()
for f in "$tree"/games/wide/files/s*/f*.bin; do
  rel=${f#"$tree/games/wide/files/"}
  entries+=("$rel|/flaky/slow/games/wide/files/$rel")
done
manifest wide 1 "large.pak|/flaky/slow/games/wide/files/large.pak" "${entries[@]}"
entries=() slow_entries=()
for k in $(seq -w 0 23); do
  entries+=("c$k.pak|/flaky/ok/games/crowd/files/c$k.pak")
  slow_entries+=("c$k.pak|/flaky/slow/games/crowd/files/c$k.pak")
done
manifest crowd 1 "${entries[@]}"
mkdir -p "$tree/games/crowd-slow"; ln -sfn ../crowd/files "$tree/games/crowd-slow/files"
manifest crowd-slow 1 "${slow_entries[@]}"
manifest flaky 1 "Game.exe|/flaky/drop/games/flaky/files/Game.exe" \
  "one.pak|/flaky/503/games/flaky/files/one.pak" "big.pak|/flaky/drop/games/flaky/files/big.pak" \
  "big2.pak|/flaky/wrongstart/games/flaky/files/big2.pak"

# Two releases of a product whose large file travels in segments (with a
# test's short segments): the same size, other bytes, sent slowly.
for name in seg-a seg-b; do
  gamefile $name large.pak 1048576; cp "$tree/games/flaky/files/Game.exe" "$tree/games/$name/files/"
  manifest $name 1 Game.exe "large.pak|/flaky/slow/games/$name/files/large.pak"
done
mkdir -p "$tree/games/seg-whole"; ln -s ../seg-a/files "$tree/games/seg-whole/files"
manifest seg-whole 1 Game.exe "large.pak|/flaky/whole/games/seg-whole/files/large.pak"

# Large files with signed piece lists. Release 1 of "pieces-old"; release 2
# has 64 KiB rewritten in the middle and 300 KiB inserted after it. The
# "lie" release rewrites the middle in place but carries release 1's pieces
# under its own digest (signed, but wrong).
pieced() { "$tool" pieces "$1" >/dev/null; sign "$1.pieces"; }
gamefile pieces-old big.pak 25165824
old=$tree/games/pieces-old/files/big.pak
for name in pieces pieces-lie pieces-nolist; do
  mkdir -p "$tree/games/$name/files"; rand "$name" 1000 >"$tree/games/$name/files/Game.exe"
done
{ head -c 12582912 "$old"; rand changed 65536; rand inserted 307200; tail -c +12648449 "$old"; } \
  >"$tree/games/pieces/files/big.pak"
pieced "$tree/games/pieces/files/big.pak"
manifest pieces 2 big.pak Game.exe
mkdir -p "$tree/games/pieces-norange"; ln -s ../pieces/files "$tree/games/pieces-norange/files"
manifest pieces-norange 2 "Game.exe|/games/pieces/files/Game.exe" "big.pak|/norange/games/pieces/files/big.pak"
cp "$tree/games/pieces/files/big.pak" "$tree/games/pieces-nolist/files/big.pak"
manifest pieces-nolist 2 Game.exe big.pak
lie=$tree/games/pieces-lie/files/big.pak
{ head -c 12582912 "$old"; rand changed 65536; tail -c +12648449 "$old"; } >"$lie"
cp "$old" "$lie.pieces.src" && "$tool" pieces "$lie.pieces.src" >/dev/null
python3 - "$lie.pieces.src.pieces" "$lie.pieces" "$(sha256sum "$old" | cut -c1-64)" \
  "$(sha256sum "$lie" | cut -c1-64)" <<'PY'
import sys
body = open(sys.argv[1], 'rb').read()
head, rest = body.split(b'\n', 1)
open(sys.argv[2], 'wb').write(head.replace(sys.argv[3].encode(), sys.argv[4].encode()) + b'\n' + rest)
PY
rm -f "$lie.pieces.src" "$lie.pieces.src.pieces"; sign "$lie.pieces"
manifest pieces-lie 2 Game.exe big.pak
# Release 2 with 4 MiB more rewritten, its pieces as objects in the content
# store; and one
# rewritten elsewhere whose new piece's object is missing on the host.
objects() { "$tool" pieces "$1" --objects "$tree" >/dev/null; sign "$1.pieces"; }
for name in pieces-obj pieces-gone; do
  mkdir -p "$tree/games/$name/files"; cp "$tree/games/pieces/files/Game.exe" "$tree/games/$name/files/"
done
{ head -c 16777216 "$tree/games/pieces/files/big.pak"; rand rewritten 4194304
  tail -c +20971521 "$tree/games/pieces/files/big.pak"; } >"$tree/games/pieces-obj/files/big.pak"
objects "$tree/games/pieces-obj/files/big.pak"
manifest pieces-obj 2 big.pak Game.exe
# A release whose piece objects come slowly from the hostile host, beside
# small files that come slowly from it too: what it sees in flight at once.
nest=$tree/games/pieces-nest/files
mkdir -p "$nest"; cp "$tree/games/pieces/files/Game.exe" "$nest/"
{ head -c 8388608 "$old"; rand nest 1048576; tail -c +9437185 "$old"; } >"$nest/big.pak"
objects "$nest/big.pak"
python3 - "$nest/big.pak.pieces" <<'PY'
import sys
body = open(sys.argv[1], 'rb').read()
head, rest = body.split(b'\n', 1)
open(sys.argv[1], 'wb').write(head.replace(b'"/content/"', b'"/flaky/slow/content/"') + b'\n' + rest)
PY
sign "$nest/big.pak.pieces"
entries=()
for k in 00 01 02 03 04 05; do
  cp "$tree/games/crowd/files/c$k.pak" "$nest/"; entries+=("c$k.pak|/flaky/slow/games/pieces-nest/files/c$k.pak")
done
manifest pieces-nest 2 big.pak Game.exe "${entries[@]}"
# The same release beside a file the host lacks (it fails for good at once).
mkdir -p "$tree/games/pieces-fail"; ln -s ../pieces-obj/files "$tree/games/pieces-fail/files"
manifest pieces-fail 2 big.pak Game.exe "lost.bin||$(printf 'c%.0s' {1..64})"
gone=$tree/games/pieces-gone/files/big.pak
{ head -c 4194304 "$old"; rand gone 1048576; tail -c +5242881 "$old"; } >"$gone"
objects "$gone"
python3 - "$gone.pieces" "$tree" <<'PY'
import os, sys
body = open(sys.argv[1], 'rb').read()
records = body.split(b'\n', 1)[1]
at = 0
for i in range(0, len(records), 36):
    at += int.from_bytes(records[i:i + 4], 'little')
    if at > 4718592:  # the piece holding the middle of the rewrite
        digest = records[i + 4:i + 36].hex()
        os.remove('%s/content/%s/%s' % (sys.argv[2], digest[:2], digest))
        break
PY
manifest pieces-gone 2 Game.exe big.pak
# Release 2 of a product whose installed big.pak stays as it is, with a new
# file that shares most of its pieces: 6 MiB of big.pak's start, 2 MiB of
# its own, then 8 MiB from big.pak's middle.
mkdir -p "$tree/games/pieces-share/files"
cp "$tree/games/pieces/files/Game.exe" "$tree/games/pieces-obj/files/big.pak" \
  "$tree/games/pieces-share/files/"
share=$tree/games/pieces-share/files
{ head -c 6291456 "$share/big.pak"; rand shared 2097152
  dd if="$share/big.pak" bs=1M skip=12 count=8 status=none; } >"$share/more.pak"
objects "$share/big.pak"; objects "$share/more.pak"
manifest pieces-share 2 Game.exe big.pak more.pak

# One product's releases under one address, for the replay tests: 1.0.0 as
# serial 4, 2.0.0 as serial 5 and, expired, as serial 6.
gamefile fresh Game.exe 3000
manifest fresh 1.0.0 "Game.exe||$(printf 'b%.0s' {1..64})"
mv "$tree/games/fresh/manifest.json" "$tree/games/fresh/manifest-s4.json"
restamp "$tree/games/fresh/manifest-s4.json" 4 $far
manifest fresh 2.0.0 Game.exe
cp "$tree/games/fresh/manifest.json" "$tree/games/fresh/manifest-s6-expired.json"
restamp "$tree/games/fresh/manifest-s6-expired.json" 6 2020-01-01T00:00:00Z
mv "$tree/games/fresh/manifest.json" "$tree/games/fresh/manifest-s5.json"
restamp "$tree/games/fresh/manifest-s5.json" 5 $far
rm -f "$tree/games/fresh/manifest.json.sig"

# Games the launcher window installs and starts: the sample game, which ends
# after the seconds in its game.txt and records how it was started; the
# slow one's large file comes from the throttled tree.
for game in playable playable-slow; do
  mkdir -p "$tree/games/$game/files"
  cp "$build/samples/ORVELANT.exe" "$tree/games/$game/files/ORVELANT.exe"
  printf 'title=%s\r\nseconds=2\r\n' "${game^^}" >"$tree/games/$game/files/game.txt"
done
rand playable-slow 5242880 >"$tree/games/playable-slow/files/data.pak"
manifest playable 1.0.0 ORVELANT.exe game.txt
manifest playable-slow 1.0.0 ORVELANT.exe game.txt "data.pak|/slow/games/playable-slow/files/data.pak"
# The sample game with a data file nested deep: below any library root its
# path passes 260.
seg=Localization-Streaming-Data-Japanese-Voice-Over deep=$seg/$seg/$seg/$seg
mkdir -p "$tree/games/deep/files/$deep"
cp "$build/samples/ORVELANT.exe" "$tree/games/deep/files/ORVELANT.exe"
printf 'title=DEEP\r\nseconds=1\r\n' >"$tree/games/deep/files/game.txt"
rand deep 100000 >"$tree/games/deep/files/$deep/voice.pak"
manifest deep 1.0.0 ORVELANT.exe game.txt "$deep/voice.pak"

# Hostile manifests, each signed: a device name as a file path (after a good
# file, so nothing may be fetched before the parse refuses the whole list).
gamefile devices Game.exe 1000
i=0
for device in COM1 AUX PRN LPT1 com1.log 'sub\\lpt1.txt' 'lpt1 .txt' CON. $'COM\xc2\xb9' CONOUT\$; do
  i=$((i + 1))
  manifest "device-$i" 1 "Game.exe|/games/devices/files/Game.exe|$(sha256sum "$tree/games/devices/files/Game.exe" | cut -d' ' -f1)" \
    "$device|/games/devices/files/Game.exe|$(sha256sum "$tree/games/devices/files/Game.exe" | cut -d' ' -f1)"
done
# Manifests a product folder cannot hold, each signed: two entries that are
# one file on Windows (letter case; "/" against "\\"; a dropped trailing
# dot), and the launcher's own files in the folder's root (any letter case,
# or as a folder). Then names that only look alike, which install.
gamefile twins Game.exe 1000; gamefile twins Data.pak 2000; gamefile twins data.pak 3000
gamefile twins sub/x.pak 4000; gamefile twins SUB/X.PAK 5000; gamefile twins own.pak 600
tw() { printf '%s|/games/twins/files/%s|%s' "$1" "$2" "$(sha256sum "$tree/games/twins/files/$2" | cut -d' ' -f1)"; }
manifest twins-1 1 "$(tw Game.exe Game.exe)" "$(tw Data.pak Data.pak)" "$(tw data.pak data.pak)"
manifest twins-2 1 "$(tw Game.exe Game.exe)" "$(tw sub/x.pak sub/x.pak)" "$(tw 'SUB\\X.PAK' SUB/X.PAK)"
manifest twins-3 1 "$(tw Game.exe Game.exe)" "$(tw data.pak data.pak)" "$(tw data.pak. Data.pak)"
i=0
for own in Version.json .orvelant-known-good .ORVELANT-Release-Serial version.json/own.pak; do
  i=$((i + 1))
  manifest "own-$i" 1 "$(tw Game.exe Game.exe)" "$(tw "$own" own.pak)"
done
manifest twins-apart 1 "$(tw Game.exe Game.exe)" "$(tw sub/version.json own.pak)" \
  "$(tw SUB/x.pak SUB/X.PAK)" "$(tw Data.pak.bak Data.pak)" "$(tw data.pak data.pak)"
# A file whose address answers 302 to the hostile host (which would serve it).
gamefile redirect Game.exe 5000
manifest redirect 1 "Game.exe|/redirect/games/redirect/files/Game.exe"
# A file of signed size 70000 whose address sends bytes without end.
gamefile endless Game.exe 70000
manifest endless 1 "Game.exe|/endless/games/endless/files/Game.exe"

# A manifest straight under the host's root: its files come from /files/.
nl=$'\r\n'
printf '%s' "{$nl  \"files\": [$nl    {\"path\": \"blob-1m.bin\", \"sha256\": \"$(sha256sum "$tree/files/blob-1m.bin" | cut -d' ' -f1)\", \"size\": 1048576}$nl  ]$nl}$nl" >"$tree/root-game.json"
sign "$tree/root-game.json"
# Products of thousands of small files, and a manifest one entry past the
# bound the launcher and the release tool share.
bound=$(sed -n 's/^ *kMaxManifestFiles = \([0-9]*\),.*/\1/p' "$repo/common/manifest_limits.h")
python3 "$repo/tests/host/many_files.py" "$tree/games" 1000 150 "$bound"
for m in many many-2 too-many; do sign "$tree/games/$m/manifest.json"; done
# A stand-in for the Setup that a self-update downloads and starts: the
# sample game, which records its command line beside itself.
mkdir -p "$tree/setup"
cp "$build/samples/ORVELANT.exe" "$tree/setup/ORVELANT_Launcher_Setup.exe"
sha256sum "$tree/setup/ORVELANT_Launcher_Setup.exe" | cut -d' ' -f1 | tr -d '\n' >"$tree/setup/sha256.txt"

mkdir -p "$state/run" "$state/logs"
cat >"$state/locations.conf" <<CONF
    # Test bed only: a redirect to another port of the same name, and a
    # body without end from the hostile host.
    location /redirect/ {
      rewrite ^/redirect/(.*)\$ https://localhost:$hostile_port/\$1 redirect;
    }
    location /endless/ {
      proxy_pass https://127.0.0.1:$hostile_port;
      proxy_buffering off;
    }
    # The tree from the hostile host with faults on every odd request
    # (dropped connections, 503, part answers that start elsewhere), and
    # the requests it is answering at once in its log.
    location /flaky/ {
      proxy_pass https://127.0.0.1:$hostile_port;
      proxy_buffering off;
      proxy_read_timeout 120s;
    }
    # The tree from a host that drops a client who stops reading for a
    # second (nginx's own default is a minute).
    location /idle/ {
      alias "$tree/";
      limit_rate 1m;
      send_timeout 1s;
    }
CONF
"$repo/host/start.sh" "$state" "$tree" localhost
: >"$state/logs/hostile.log"; : >"$state/logs/hostile-flaky.log"
setsid python3 "$repo/tests/host/hostile_host.py" "$hostile_port" "$tree" "$state/certs/server.crt" \
  "$state/certs/server.key" "$state/logs/hostile.log" </dev/null >"$state/logs/hostile.out" 2>&1 &
echo $! >"$state/run/hostile.pid"
for _ in $(seq 50); do
  curl -sk -o /dev/null "https://127.0.0.1:$hostile_port/" && break
  sleep 0.1
done
: >"$state/logs/hostile.log"
"$repo/scripts/wine-run" "$build/wineprefix" "$build/tools/trust-ca.exe" \
  "Z:${state//\//\\}\\certs\\ca.crt"
