#!/usr/bin/env bash
# Starts a private S3-compatible object store on loopback: Debian's OpenStack
# Swift (proxy with its S3 layer and tempauth, one account, one container and
# one object server, one replica) and the memcached tempauth keeps its tokens
# in. For trying release/s3-upload.sh and the edge in front of a store on one
# machine; a real deployment uses its provider's store.
#
#   host/store-start.sh <state-dir> [port]
#
# Everything stays in <state-dir>: etc/ (swift.conf, the rings and the
# servers' configurations, rewritten on every start), srv/ (the one storage
# device, owned by the swift user the servers run as), run/*.pid, logs/
# (the servers' standard output; Swift itself logs to syslog). The S3
# endpoint is http://127.0.0.1:<port>/ (default 8080), access key
# "orvelant:publisher", secret in <state-dir>/etc/s3-secret; a bucket <b>
# made public-read is readable without a key at
# http://127.0.0.1:<port>/v1/AUTH_orvelant/<b>/. The account, container and
# object servers take <port>+1..+3 and memcached <port>+4. Needs root (the
# servers drop to the swift user).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"

die() { echo "store-start: $*" >&2; exit 1; }

[ $# -ge 1 ] && [ $# -le 2 ] || die "usage: store-start.sh <state-dir> [port]"
port=${2:-8080}
[[ $port =~ ^[0-9]+$ ]] && [ "$port" -ge 1024 ] && [ "$port" -le 65530 ] || die "bad port \"$port\""
[ "$(id -u)" -eq 0 ] || die "needs root (the servers drop to the swift user)"
for c in swift-proxy-server swift-object-server swift-container-server swift-account-server swift-ring-builder memcached; do
  command -v "$c" >/dev/null || die "$c is not installed (apt-get install swift-proxy swift-object swift-container swift-account memcached)"
done
id swift >/dev/null 2>&1 || die "no swift user (the swift package makes it)"
mkdir -p "$1" || die "cannot create state dir \"$1\""
state=$(cd "$1" && pwd)
if store_running "$state"; then
  die "the store of $state already runs; stop it first"
fi
for p in "$port" $((port + 1)) $((port + 2)) $((port + 3)) $((port + 4)); do
  taken=$(host_port_listeners "$p" | grep -F "127.0.0.1:$p" || true)
  [ -z "$taken" ] || die "127.0.0.1:$p is already taken: $taken"
done

etc=$state/etc
mkdir -p "$etc" "$state"/{srv/d1,run,logs,cache}
chown swift:swift "$state/srv" "$state/srv/d1" "$state/cache"
[ -s "$etc/s3-secret" ] || head -c 18 /dev/urandom | base64 | tr '+/' '-_' >"$etc/s3-secret"
chmod 600 "$etc/s3-secret"
secret=$(cat "$etc/s3-secret")
[ -s "$etc/hash-suffix" ] || head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$etc/hash-suffix"

cat >"$etc/swift.conf" <<CONF
[swift-hash]
swift_hash_path_suffix = $(cat "$etc/hash-suffix")
swift_hash_path_prefix = orvelant
[storage-policy:0]
name = Policy-0
default = yes
CONF

# server <kind> <port> [more lines]: one storage server's configuration.
server_conf() {
  cat >"$etc/$1-server.conf" <<CONF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $2
workers = 1
user = swift
swift_dir = $etc
devices = $state/srv
mount_check = false
log_name = orvelant-store-$1
[pipeline:main]
pipeline = $1-server
[app:$1-server]
use = egg:swift#$1
${3:-}
CONF
}
server_conf account $((port + 1))
server_conf container $((port + 2))
server_conf object $((port + 3))

cat >"$etc/proxy-server.conf" <<CONF
[DEFAULT]
bind_ip = 127.0.0.1
bind_port = $port
workers = 1
user = swift
swift_dir = $etc
log_name = orvelant-store-proxy
[pipeline:main]
pipeline = catch_errors gatekeeper proxy-logging cache listing_formats s3api tempauth copy slo dlo proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:$((port + 4))
[filter:tempauth]
use = egg:swift#tempauth
reseller_prefix = AUTH
user_orvelant_publisher = $secret .admin
$(for f in catch_errors gatekeeper proxy_logging listing_formats s3api copy slo dlo; do
  printf '[filter:%s]\nuse = egg:swift#%s\n' "${f/_logging/-logging}" "$f"
done)
CONF

# The rings: one device, one replica, made again on every start (the device
# and what it holds stay).
for ring in account:$((port + 1)) container:$((port + 2)) object:$((port + 3)); do
  kind=${ring%%:*}
  rm -f "$etc/$kind.builder" "$etc/$kind.ring.gz"
  swift-ring-builder "$etc/$kind.builder" create 6 1 0 >/dev/null
  swift-ring-builder "$etc/$kind.builder" add "r1z1-127.0.0.1:${ring#*:}/d1" 100 >/dev/null
  swift-ring-builder "$etc/$kind.builder" rebalance >/dev/null 2>&1 || true
  [ -s "$etc/$kind.ring.gz" ] || die "could not build the $kind ring"
done
chown -R swift:swift "$etc"
chown root:root "$etc/s3-secret"

# start <name> <command...>: in its own session, so that it outlives this
# script and is stopped only by store-stop.sh.
start() {
  local name=$1
  shift
  setsid "$@" </dev/null >"$state/logs/$name.out" 2>&1 &
  echo $! >"$state/run/$name.pid"
}
echo $((port + 4)) >"$state/run/memcached.port"
start memcached memcached -u swift -l 127.0.0.1 -p $((port + 4)) -U 0 -m 16
for kind in account container object proxy; do
  start "$kind" "swift-$kind-server" "$etc/$kind-server.conf"
done

for ((i = 0; i < 300; i++)); do
  if curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/info" &&
    [ -n "$(host_port_listeners $((port + 3)) | grep -F "127.0.0.1:$((port + 3))")" ]; then
    echo "start: object store: http://127.0.0.1:$port/ (S3 key orvelant:publisher, secret in $etc/s3-secret)"
    exit 0
  fi
  for name in memcached account container object proxy; do
    kill -0 "$(cat "$state/run/$name.pid")" 2>/dev/null ||
      { tail -5 "$state/logs/$name.out" >&2; "$here/store-stop.sh" "$state" >/dev/null 2>&1; die "$name did not start (see $state/logs/)"; }
  done
  sleep 0.1
done
"$here/store-stop.sh" "$state" >/dev/null 2>&1 || true
die "the store did not answer on 127.0.0.1:$port (see $state/logs/)"
