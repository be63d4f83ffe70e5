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

if [ "$action" = stop ]; then
  "$repo/host/stop.sh" "$state"
  exit 0
fi

rm -rf "$tree" "$base/other-key"
mkdir -p "$tree/files/sub dir" "$tree/documents" "$tree/launcher" "$base/other-key"

# Files to download. Fixed seeds keep runs comparable.
rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
rand a 4194304 >"$tree/files/blob-4m.bin"
rand b 1048576 >"$tree/files/blob-1m.bin"
rand c 1000 >"$tree/files/sub dir/small.bin"
: >"$tree/files/empty.bin"
rand d 9437184 >"$tree/files/big-9m.bin"

sign() { "$tool" sign "$key" "$1" >/dev/null; }
doc() { printf '%s' "$2" >"$tree/documents/$1"; sign "$tree/documents/$1"; }

# Documents as the publisher would sign them.
doc catalog.json $'{\r\n  "products": [\r\n    {\r\n      "id": "first-title",\r\n      "title": "HALCYRA",\r\n      "install_dir": "first-title",\r\n      "executable": "ORVELANT.exe",\r\n      "manifest_path": "/games/first-title/stable/manifest.json"\r\n    }\r\n  ]\r\n}\r\n'
doc news.json $'{\r\n  "items": [\r\n    {"title": "SERVER // ONLINE", "body": "\xe6\x8e\xa5\xe7\xb6\x9a\xe5\xae\x8c\xe4\xba\x86"}\r\n  ]\r\n}\r\n'
doc control.json $'{\r\n  "service_state": "online",\r\n  "offline_allowed": true\r\n}\r\n'
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
# Signed by a key that is not the Worker's.
"$tool" keygen "$base/other-key/key.pem" "$base/other-key/key.pub.pem" >/dev/null
cp "$d/catalog.json" "$d/catalog-other-key.json"
"$tool" sign "$base/other-key/key.pem" "$d/catalog-other-key.json" >/dev/null
# An endless-looking body: more than the Worker takes into memory.
{ printf '{"products": ['; rand e 9437184 | base64 -w 0; printf ']}'; } >"$d/catalog-huge.json"
sign "$d/catalog-huge.json"

"$repo/host/start.sh" "$state" "$tree" localhost
"$repo/scripts/wine-run" "$build/wineprefix" "$build/tools/trust-ca.exe" \
  "Z:${state//\//\\}\\certs\\ca.crt"
