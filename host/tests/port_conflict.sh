#!/usr/bin/env bash
# start.sh refuses a port that another program holds, and a stale pid file
# never makes stop.sh touch a process that is not our nginx.
. "${ORV_TESTLIB:?ORV_TESTLIB must name release/tests/testlib.sh}"
H=${ORV_HOST_DIR:?}
. "$H/tests/hostlib.sh"
cd "$ORV_WORK"
STATE=$ORV_WORK/state
intruder=""
cleanup() {
  [ -n "$intruder" ] && kill "$intruder" 2>/dev/null
  "$H/stop.sh" "$STATE" >/dev/null 2>&1
}
trap cleanup EXIT

publish_tree tree ONE || { fail "publish failed"; finish; }
"$H/make-certs.sh" "$STATE" >/dev/null

group "another program on the port"
[ -z "$(port_listeners)" ] || { fail "port $PORT is taken before the test"; finish; }
openssl s_server -quiet -accept "$PORT" -cert "$STATE/certs/server.crt" \
  -key "$STATE/certs/server.key" </dev/null >/dev/null 2>&1 &
intruder=$!
for ((i = 0; i < 100; i++)); do
  [ -n "$(port_listeners)" ] && break
  kill -0 "$intruder" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$(port_listeners)" ]; then
  fail "the intruder did not take port $PORT"
else
  refused "start with the port taken" "port $PORT is already taken" "$H/start.sh" "$STATE" tree
  # Machines without iproute2: the same refusal from the kernel's socket tables.
  mkdir -p noss
  for f in /usr/local/bin/* /usr/bin/* /usr/sbin/*; do
    [ "${f##*/}" = ss ] || ln -sf "$f" "noss/${f##*/}" 2>/dev/null
  done
  refused "start with the port taken, no ss" "port $PORT is already taken" \
    env PATH="$ORV_WORK/noss" "$H/start.sh" "$STATE" tree
  same "no nginx of ours" "" "$(our_nginx)"
  [ ! -e "$STATE/run/nginx.pid" ] || fail "a pid file was left by the refused start"
  kill -0 "$intruder" 2>/dev/null || fail "the refused start disturbed the other program"
fi
kill "$intruder" 2>/dev/null
wait "$intruder" 2>/dev/null
intruder=""

group "the port free again: start works"
for ((i = 0; i < 100; i++)); do [ -z "$(port_listeners)" ] && break; sleep 0.1; done
ok "start" "$H/start.sh" "$STATE" tree
same "serving" "200" "$(fetch /launcher/catalog.json | cut -d' ' -f1)"
ok "stop" "$H/stop.sh" "$STATE"

group "a stale pid file names someone else"
sleep 300 &
bystander=$!
mkdir -p "$STATE/run"
echo "$bystander" >"$STATE/run/nginx.pid"
ok "stop with a stale pid file" "$H/stop.sh" "$STATE"
kill -0 "$bystander" 2>/dev/null || fail "stop.sh killed a process that is not our nginx"
[ ! -e "$STATE/run/nginx.pid" ] || fail "stale pid file kept"
echo "$bystander" >"$STATE/run/nginx.pid"
ok "start over a stale pid file" "$H/start.sh" "$STATE" tree
kill -0 "$bystander" 2>/dev/null || fail "start.sh disturbed a bystander"
[ "$(cat "$STATE/run/nginx.pid")" != "$bystander" ] || fail "pid file still names the bystander"
same "serving" "200" "$(fetch /launcher/catalog.json | cut -d' ' -f1)"
ok "stop" "$H/stop.sh" "$STATE"
kill "$bystander"
wait "$bystander" 2>/dev/null

group "bad arguments"
refused "no tree" "is not a folder" "$H/start.sh" "$STATE" "$ORV_WORK/none"
refused "usage" "usage" "$H/start.sh" "$STATE"
refused "usage of stop" "usage" "$H/stop.sh"
same "nothing started" "" "$(our_nginx)"

finish
