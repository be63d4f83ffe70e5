#!/usr/bin/env bash
# A Traffic Server edge in front of the update host, read with curl: the
# cache rules per kind, immutable files served from the edge's cache, a
# publish seen at the first request after it, the earlier release's files
# still there, and a stop that leaves nothing of ours.
. "${ORV_TESTLIB:?ORV_TESTLIB must name release/tests/testlib.sh}"
H=${ORV_HOST_DIR:?}
. "$H/tests/hostlib.sh"
command -v traffic_server >/dev/null || { echo "skipped: trafficserver is not installed"; exit 77; }
cd "$ORV_WORK"
rm -rf edge
STATE=$ORV_WORK/state EDGE=$ORV_WORK/edge ORIGIN_PORT=8443
trap '"$H/edge-stop.sh" "$EDGE" >/dev/null 2>&1; "$H/stop.sh" "$STATE" >/dev/null 2>&1' EXIT

publish_tree tree ONE || { fail "publish failed"; finish; }
group "the origin on its own port, the edge on 443"
ORVELANT_HOST_PORT=$ORIGIN_PORT ok "origin" "$H/start.sh" "$STATE" tree
ok "edge" "$H/edge-start.sh" "$EDGE" "$STATE" 127.0.0.1 $ORIGIN_PORT
port_listeners | grep -q "127.0.0.1:443" || fail "the edge does not listen on 127.0.0.1:443"
refused "a second edge on the same state dir" "already runs" \
  "$H/edge-start.sh" "$EDGE" "$STATE" 127.0.0.1 $ORIGIN_PORT

# header <path> <name>: the header's value as the edge answers it.
header() {
  curl -sS --cacert "$STATE/certs/ca.crt" -D - -o /dev/null "https://localhost$1" |
    tr -d '\r' | awk -v n="$(echo "$2" | tr A-Z a-z)" 'tolower($0) ~ "^" n ":" { sub(/^[^:]*: */, ""); print }'
}
origin_gets() { grep -c "\"GET $1 HTTP" "$STATE/logs/access.log"; }

group "cache rules per kind, through the edge"
F=$(content_url tree bin/game.dat)
SETUP=/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe
for p in /launcher/catalog.json /launcher/catalog.json.sig /launcher/news.json.sig \
  /launcher/control.json /games/first-title/stable/manifest.json \
  /games/first-title/stable/manifest.json.sig; do
  same "Cache-Control of $p" "no-cache" "$(header "$p" Cache-Control)"
  [ -n "$(header "$p" ETag)" ] || fail "no ETag for $p"
  [ -n "$(header "$p" Last-Modified)" ] || fail "no Last-Modified for $p"
done
for p in "$F" "$SETUP"; do
  same "Cache-Control of $p" "public, max-age=31536000, immutable" "$(header "$p" Cache-Control)"
done

group "immutable files come from the edge's cache"
LEN=$(stat -c %s "tree$F")
for i in 1 2 3; do
  same "GET $F ($i)" "200 $LEN" "$(fetch "$F" | sed "s/:$PORT//")"
  cmp -s body.out "tree$F" || fail "body of $F differs ($i)"
done
same "206 from the cache" "206 $((LEN - 1000))" "$(fetch "$F" -H 'Range: bytes=1000-')"
cmp -s body.out <(tail -c +1001 "tree$F") || fail "206 body is not the rest of the file"
same "the origin was asked once for $F" "1" "$(origin_gets "$F")"
same "404 for the release record" "404" "$(fetch /.orvelant-releases | cut -d' ' -f1)"

group "a publish is seen at the first request after it"
for doc in control.json catalog.json; do fetch /launcher/$doc >/dev/null; done
grep -q "SIGNAL // ONE" body.out 2>/dev/null || fetch /launcher/control.json >/dev/null
grep -q "SIGNAL // ONE" body.out || fail "the first release's control document was not served"
publish_tree tree TWO || fail "second publish failed"
fetch /launcher/control.json >/dev/null
grep -q "SIGNAL // TWO" body.out || fail "the edge served the old control document after the publish"
cp body.out control.json
fetch /launcher/control.json.sig >/dev/null
cp body.out control.json.sig
openssl_verifies keys/public.pem control.json || fail "control document and signature do not pair"
F2=$(content_url tree bin/game.dat)
[ "$F2" != "$F" ] || fail "the changed file kept its address"
same "the new release's file" "200" "$(fetch "$F2" | cut -d' ' -f1)"
cmp -s body.out "tree$F2" || fail "new file differs"
same "the earlier release's file still served" "200" "$(fetch "$F" | cut -d' ' -f1)"

group "piece objects: cached like files, one origin request for a burst of players"
BIG_MIB=12 publish_tree tree THREE || fail "third publish failed"
B=$(content_url tree bin/big.pak)
mapfile -t objects < <(python3 - "tree$B.pieces" <<'PY'
import sys
body = open(sys.argv[1], 'rb').read()
head, records = body.split(b'\n', 1)
assert b'"objects": "/content/"' in head, head
for i in range(0, len(records), 36):
    d = records[i + 4:i + 36].hex()
    print('/content/%s/%s' % (d[:2], d))
PY
)
[ "${#objects[@]}" -ge 3 ] || fail "the large file has ${#objects[@]} piece objects"
same "Cache-Control of a piece object" "public, max-age=31536000, immutable" "$(header "${objects[0]}" Cache-Control)"
# Through the origin's throttled path, so that the players' requests overlap
# the edge's one fetch of each object.
mkdir -p burst
for o in "${objects[@]:1:3}"; do
  for k in 1 2 3 4 5 6; do
    curl -sS --cacert "$STATE/certs/ca.crt" -o "burst/${o##*/}.$k" "https://localhost/slow$o" &
  done
done
wait
for o in "${objects[@]:1:3}"; do
  same "the origin was asked once for ${o##*/}" "1" "$(origin_gets "/slow$o")"
  for k in 1 2 3 4 5 6; do
    [ "$(sha256sum <"burst/${o##*/}.$k" | cut -c1-64)" = "${o##*/}" ] || fail "player $k got other bytes for $o"
  done
done
# A range of an object the edge lacks: asked of the origin, and the whole
# object fetched beside it, so another player's range comes from the cache.
R=${objects[4]}
same "a first range of ${R##*/}" "206 1000" "$(fetch "$R" -H 'Range: bytes=5000-5999' | sed "s/:$PORT//")"
cmp -s body.out <(tail -c +5001 "tree$R" | head -c 1000) || fail "the range body differs"
for _ in $(seq 50); do [ "$(origin_gets "$R")" = 2 ] && break; sleep 0.1; done
sleep 0.5
same "another range from the cache" "206 2000" "$(fetch "$R" -H 'Range: bytes=9000-10999' | sed "s/:$PORT//")"
cmp -s body.out <(tail -c +9001 "tree$R" | head -c 2000) || fail "the second range body differs"
same "the origin sent the first range and the whole object only" "200 206" \
  "$(grep "\"GET $R HTTP" "$STATE/logs/access.log" | awk '{ print $9 }' | sort | paste -sd' ')"

group "stop leaves nothing of ours"
edge_pid=$(cat "$EDGE/run/edge.pid")
ok "edge stop" "$H/edge-stop.sh" "$EDGE"
kill -0 "$edge_pid" 2>/dev/null && fail "Traffic Server $edge_pid still runs"
[ -z "$(port_listeners | grep '127.0.0.1:443')" ] || fail "443 still taken"
ok "edge stop when nothing runs" "$H/edge-stop.sh" "$EDGE"
ok "origin stop" "$H/stop.sh" "$STATE"
[ ! -e /run/trafficserver/server.lock ] || [ "$(stat -c %Y /run/trafficserver/server.lock)" -lt "$(date +%s -d '-1 day')" ] ||
  fail "something was written to /run/trafficserver"

finish
