#!/usr/bin/env bash
# Starts a cache edge in front of the update host: Debian's Apache Traffic
# Server as a TLS reverse-proxy cache that serves players with the host's
# certificate and asks the nginx origin only for what it does not hold.
#
#   host/edge-start.sh <edge-state-dir> <origin-state-dir> <listen-ip> <origin-port> [host-name]
#
# The origin is the instance of <origin-state-dir> (host/start.sh, usually
# with ORVELANT_HOST_PORT set so that the edge can take port 443), reached at
# 127.0.0.1:<origin-port>. The edge listens on <listen-ip>:443 (and [::1]:443
# when the address is 127.0.0.1). Everything the edge writes stays in
# <edge-state-dir>: etc/ (its configuration, rewritten on every start),
# cache/, logs/, run/, var/. Nothing global is changed.
#
# ORVELANT_EDGE_ORIGIN, when set, is the origin instead: a loopback http or
# https address with a path, such as an object store's public bucket
# (http://127.0.0.1:8080/v1/AUTH_orvelant/tree/, see store-start.sh); the
# certificates still come from <origin-state-dir>.
#
# The edge keeps what the origin allows (Cache-Control, see README.md) and
# revalidates the rest at every request; it caches nothing without a lifetime
# from the origin.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"

die() { echo "edge-start: $*" >&2; exit 1; }

[ $# -ge 4 ] && [ $# -le 5 ] ||
  die "usage: edge-start.sh <edge-state-dir> <origin-state-dir> <listen-ip> <origin-port> [host-name]"
listen=$3 origin_port=$4 host=${5:-localhost}
[[ $listen =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "listen address \"$listen\" is not an IPv4 loopback address"
[[ $origin_port =~ ^[0-9]+$ ]] && [ "$origin_port" -ne 443 ] || die "origin port \"$origin_port\": give the origin's own port (not 443)"
[ -r "$2/certs/server.crt" ] && [ -r "$2/certs/ca.crt" ] || die "no certificates in \"$2\" (start the origin first)"
origin=${ORVELANT_EDGE_ORIGIN:-https://127.0.0.1:$origin_port/}
[[ $origin =~ ^https?://127\.[0-9.]+(:[0-9]+)?/([^\ \"\\]*/)?$ ]] ||
  die "origin \"$origin\" is not a loopback http(s) address ending in /"
command -v traffic_server >/dev/null || die "Traffic Server is not installed (apt-get install trafficserver)"
mkdir -p "$1" || die "cannot create state dir \"$1\""
state=$(cd "$1" && pwd)
certs=$(cd "$2/certs" && pwd)
[[ $state != *[\"\ \\\$]* ]] || die "path \"$state\" holds a character Traffic Server reads specially"

if pid=$(edge_running_pid "$state"); then
  die "the edge of $state already runs (pid $pid); stop it first"
fi
taken=$(host_port_listeners 443 | grep -F "$listen:443" || true)
[ -z "$taken" ] || die "$listen:443 is already taken: $taken"

mkdir -p "$state"/{etc,cache,logs,run,var}
cat >"$state/runroot.yaml" <<YAML
prefix: /usr
exec_prefix: /usr
bindir: /usr/bin
sbindir: /usr/sbin
sysconfdir: $state/etc
datadir: /usr/share/trafficserver
includedir: /usr/include
libdir: /usr/lib/trafficserver
libexecdir: /usr/lib/trafficserver/modules
localstatedir: $state/var
runtimedir: $state/run
logdir: $state/logs
cachedir: $state/cache
YAML

ports="443:ssl:ip-in=$listen"
[ "$listen" = 127.0.0.1 ] && grep -q '^00000000000000000000000000000001 ' /proc/net/if_inet6 2>/dev/null &&
  ports="$ports 443:ssl:ipv6:ip-in=[::1]"
etc=$state/etc
cat >"$etc/records.config" <<CONF
# Written by host/edge-start.sh; rewritten on every start.
CONFIG proxy.config.admin.user_id STRING #-1
CONFIG proxy.config.exec_thread.autoconfig INT 0
CONFIG proxy.config.exec_thread.limit INT 2
CONFIG proxy.config.accept_threads INT 1
CONFIG proxy.config.task_threads INT 1
CONFIG proxy.config.http.server_ports STRING $ports
CONFIG proxy.config.http.wait_for_cache INT 1
CONFIG proxy.config.reverse_proxy.enabled INT 1
CONFIG proxy.config.url_remap.remap_required INT 1
CONFIG proxy.config.url_remap.pristine_host_hdr INT 0
CONFIG proxy.config.http.cache.http INT 1
CONFIG proxy.config.http.cache.required_headers INT 2
CONFIG proxy.config.http.cache.when_to_revalidate INT 0
CONFIG proxy.config.http.negative_caching_enabled INT 0
CONFIG proxy.config.http.insert_response_via_str INT 0
CONFIG proxy.config.http.insert_request_via_str INT 1
CONFIG proxy.config.http.keep_alive_no_activity_timeout_in INT 30
CONFIG proxy.config.http.transaction_no_activity_timeout_out INT 30
CONFIG proxy.config.cache.ram_cache.size INT 33554432
CONFIG proxy.config.cache.max_doc_size INT 0
# A burst of players asking for one new object (a piece of an update) sends
# one request to the origin: the others wait for the cache's write lock and
# then read the object while it is written.
CONFIG proxy.config.cache.enable_read_while_writer INT 1
CONFIG proxy.config.http.background_fill_active_timeout INT 0
CONFIG proxy.config.http.background_fill_completed_threshold FLOAT 0.0
CONFIG proxy.config.http.cache.max_open_read_retries INT 50
CONFIG proxy.config.http.cache.open_read_retry_time INT 20
CONFIG proxy.config.cache.read_while_writer.max_retries INT 50
CONFIG proxy.config.ssl.server.cert.path STRING $certs
CONFIG proxy.config.ssl.server.private_key.path STRING $certs
CONFIG proxy.config.ssl.client.verify.server.policy STRING ENFORCED
# The origin is a fixed loopback address: its chain is checked against the
# host CA; the name is not (ATS compares the IP as a host name).
CONFIG proxy.config.ssl.client.verify.server.properties STRING SIGNATURE
CONFIG proxy.config.ssl.client.CA.cert.filename STRING $certs/ca.crt
CONFIG proxy.config.log.logging_enabled INT 3
CONFIG proxy.config.log.max_space_mb_for_logs INT 200
CONFIG proxy.config.log.max_space_mb_headroom INT 10
CONFIG proxy.config.log.periodic_tasks_interval INT 1
CONFIG proxy.config.diags.debug.enabled INT 0
CONF
echo "dest_ip=* ssl_cert_name=server.crt ssl_key_name=server.key" >"$etc/ssl_multicert.config"
echo "map https://$host/ $origin" >"$etc/remap.config"
echo "$state/cache 256M" >"$etc/storage.config"
cat >"$etc/ip_allow.yaml" <<YAML
ip_allow:
  - apply: in
    ip_addrs: [127.0.0.0/8, ::1]
    action: allow
    methods: ALL
  - apply: out
    ip_addrs: [127.0.0.0/8, ::1]
    action: allow
    methods: ALL
YAML
# One line per player request: status, bytes to the player, what the cache
# did and what the origin sent (bench/cdn_soak.sh reads these).
cat >"$etc/logging.yaml" <<YAML
logging:
  formats:
    - name: orvelant
      format: '%<cqtq> %<cqhm> %<cqup> %<pssc> %<psql> %<crc> %<sssc> %<sscl>'
  logs:
    - filename: access
      format: orvelant
      mode: ascii
YAML
for f in cache.config hosting.config parent.config socks.config splitdns.config \
  volume.config sni.yaml strategies.yaml; do
  : >"$etc/$f"
done
# A range of an object the cache lacks (the changed blocks of a piece) goes
# to the origin as asked, and the whole object is fetched beside it, so the
# next player's ranges of it come from the cache.
echo "background_fetch.so" >"$etc/plugin.config"
[ -d /etc/trafficserver/body_factory ] && [ ! -e "$etc/body_factory" ] && ln -s /etc/trafficserver/body_factory "$etc/body_factory"

rm -f "$state/run/edge.pid"
# traffic_server runs in the foreground; it is started in its own session so
# that it outlives this script and is stopped only by edge-stop.sh.
setsid traffic_server --run-root="$state/runroot.yaml" \
  --bind_stdout "$state/logs/traffic.out" --bind_stderr "$state/logs/traffic.out" \
  </dev/null >/dev/null 2>&1 &
echo $! >"$state/run/edge.pid"
for ((i = 0; i < 150; i++)); do
  if host_port_listeners 443 | grep -qF "$listen:443"; then
    echo "start: edge $(cat "$state/run/edge.pid"): https://$host/ on $listen:443 caches $origin"
    exit 0
  fi
  kill -0 "$(cat "$state/run/edge.pid")" 2>/dev/null || break
  sleep 0.1
done
tail -5 "$state/logs/traffic.out" >&2 2>/dev/null || true
"$here/edge-stop.sh" "$state" >/dev/null 2>&1 || true
die "Traffic Server did not start listening on $listen:443 (see $state/logs/)"
