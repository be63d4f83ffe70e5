#!/usr/bin/env bash
# The update host serving a published tree over TLS, fetched with curl: full
# bodies, ranges, 416 at the end, 404, the no-range and throttled views;
# starting twice reloads; stopping leaves nothing of ours behind.
. "${ORV_TESTLIB:?ORV_TESTLIB must name release/tests/testlib.sh}"
H=${ORV_HOST_DIR:?}
. "$H/tests/hostlib.sh"
cd "$ORV_WORK"
STATE=$ORV_WORK/state
trap '"$H/stop.sh" "$STATE" >/dev/null 2>&1' EXIT

publish_tree tree ONE || { fail "publish failed"; finish; }
varlog_before=$(stat -c '%Y %s' /var/log/nginx/error.log /var/log/nginx/access.log 2>/dev/null)

group "start serves the tree over TLS on loopback"
ok "start" "$H/start.sh" "$STATE" tree
[ -s "$STATE/run/nginx.pid" ] || fail "no pid file in the state dir"
[ -s "$STATE/nginx.conf" ] || fail "no configuration in the state dir"
pid=$(cat "$STATE/run/nginx.pid" 2>/dev/null)
port_listeners | grep -q "127.0.0.1:$PORT" || fail "nothing listens on 127.0.0.1:$PORT"

group "documents and signatures as published"
for doc in catalog.json news.json control.json; do
  same "GET /launcher/$doc" "200 $(stat -c %s tree/launcher/$doc)" "$(fetch /launcher/$doc)"
  cmp -s body.out tree/launcher/$doc || fail "/launcher/$doc body differs from the tree"
  cp body.out "fetched-$doc"
  fetch "/launcher/$doc.sig" >/dev/null
  cp body.out "fetched-$doc.sig"
  openssl_verifies keys/public.pem "fetched-$doc" || fail "fetched $doc does not verify"
done
type=$(curl -sS --cacert "$STATE/certs/ca.crt" -o /dev/null -w '%{content_type}' \
  "https://localhost:$PORT/launcher/catalog.json")
same "JSON type" "application/json" "$type"
type=$(curl -sS --cacert "$STATE/certs/ca.crt" -o /dev/null -w '%{content_type}' \
  "https://localhost:$PORT/launcher/catalog.json.sig")
same "signature type" "text/plain" "$type"
enc=$(curl -sS --cacert "$STATE/certs/ca.crt" -H 'Accept-Encoding: gzip' -D - -o /dev/null \
  "https://localhost:$PORT/launcher/catalog.json" | tr -d '\r' | grep -i '^content-encoding:')
same "no compression" "" "$enc"

group "ranges the download resume relies on"
F=$(content_url tree bin/game.dat)
SRC=tree$F
LEN=$(stat -c %s "$SRC")
same "200 without Range" "200 $LEN" "$(fetch $F)"
cmp -s body.out "$SRC" || fail "full body differs"
same "206 from offset 1000" "206 $((LEN - 1000))" "$(fetch $F -H 'Range: bytes=1000-')"
cmp -s body.out <(tail -c +1001 "$SRC") || fail "206 body is not the rest of the file"
same "206 for the last byte" "206 1" "$(fetch $F -H "Range: bytes=$((LEN - 1))-")"
cmp -s body.out <(tail -c 1 "$SRC") || fail "last byte differs"
same "416 at the length" "416" "$(fetch $F -H "Range: bytes=$LEN-" | cut -d' ' -f1)"
same "404 for a missing file" "404" "$(fetch /games/first-title/stable/files/none.dat | cut -d' ' -f1)"
same "404 for the publisher marker" "404" "$(fetch /.orvelant-published | cut -d' ' -f1)"
same "404 for the release record" "404" "$(fetch /.orvelant-releases | cut -d' ' -f1)"
same "the Setup" "200 20000" "$(fetch /launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe)"

group "the no-range and throttled views of the same tree"
same "200 to a Range request under /norange/" "200 $LEN" \
  "$(fetch /norange$F -H 'Range: bytes=1000-')"
cmp -s body.out "$SRC" || fail "/norange/ body is not the whole file"
same "200 under /slow/" "200 $LEN" "$(fetch /slow$F)"
cmp -s body.out "$SRC" || fail "/slow/ body differs"
same "206 under /slow/" "206 $((LEN - 5))" "$(fetch /slow$F -H 'Range: bytes=5-')"

group "IPv6 loopback"
if grep -q '^00000000000000000000000000000001 ' /proc/net/if_inet6 2>/dev/null; then
  code=$(curl -sS -g --cacert "$STATE/certs/ca.crt" -o body.out -w '%{http_code}' \
    "https://[::1]:$PORT/launcher/control.json")
  same "GET over ::1" "200" "$code"
  cmp -s body.out tree/launcher/control.json || fail "::1 body differs"
else
  echo "   (no IPv6 loopback on this machine)"
fi

group "a second start reloads the running instance"
ok "start again" "$H/start.sh" "$STATE" tree
same "same master" "$pid" "$(cat "$STATE/run/nginx.pid" 2>/dev/null)"
same "still serving" "200" "$(fetch /launcher/news.json | cut -d' ' -f1)"
publish_tree tree2 TWO || fail "second publish failed"
ok "start on another tree" "$H/start.sh" "$STATE" tree2
same "same master after reload" "$pid" "$(cat "$STATE/run/nginx.pid" 2>/dev/null)"
fetch /launcher/control.json >/dev/null
cmp -s body.out tree2/launcher/control.json || fail "reload did not switch to the new tree"
grep -q "SIGNAL // TWO" body.out || fail "new control document not served"

group "stop leaves nothing of ours"
ok "stop" "$H/stop.sh" "$STATE"
same "no nginx of ours" "" "$(our_nginx)"
kill -0 "$pid" 2>/dev/null && fail "master $pid still runs"
same "port free" "" "$(port_listeners)"
[ ! -e "$STATE/run/nginx.pid" ] || fail "pid file left behind"
ok "stop when nothing runs" "$H/stop.sh" "$STATE"
ok "stop of a state dir that never existed" "$H/stop.sh" "$ORV_WORK/none"
same "nothing written to /var/log/nginx" "$varlog_before" \
  "$(stat -c '%Y %s' /var/log/nginx/error.log /var/log/nginx/access.log 2>/dev/null)"
grep -q '"GET /launcher/catalog.json HTTP/1.1" 200' "$STATE/logs/access.log" ||
  fail "access log in the state dir lacks the requests"

finish
