#!/usr/bin/env bash
# Starts (or reloads) the update host: a private nginx serving a published
# tree over HTTPS on 127.0.0.1 and ::1, port 443.
#
#   host/start.sh <state-dir> <tree-dir> [host-name]
#
# Everything the instance writes stays in <state-dir>: certs/, nginx.conf,
# run/nginx.pid, logs/error.log, logs/access.log, tmp/. Nothing global is
# changed. When this state dir's instance already runs, the configuration is
# rewritten and reloaded (new tree, new host name) instead.
#
# Environment: ORVELANT_HOST_PORT (default 443) serves another port, for a
# second instance beside a running one; ORVELANT_HOST_ADDRESS names one more
# local address to serve on as well (the far end of an emulated link in the
# benches); NGINX names the nginx binary.
# A file <state-dir>/locations.conf, when present, is included in the server
# block: extra nginx locations of this instance (the test bed's redirects and
# proxied hostile answers live there).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"

die() { echo "start: $*" >&2; exit 1; }

[ $# -ge 2 ] && [ $# -le 3 ] || die "usage: start.sh <state-dir> <tree-dir> [host-name]"
host=${3:-localhost}
port=${ORVELANT_HOST_PORT:-443}
[[ $port =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "bad port \"$port\""
[ -d "$2" ] || die "tree \"$2\" is not a folder"
mkdir -p "$1" || die "cannot create state dir \"$1\""
state=$(cd "$1" && pwd)
tree=$(cd "$2" && pwd)
for p in "$state" "$tree"; do
  # These would change meaning inside the nginx configuration.
  [[ $p != *[\"\\\$\;\{\}]* ]] || die "path \"$p\" holds a character nginx reads specially"
done
[ -r "$tree/launcher/catalog.json" ] ||
  echo "start: note: $tree has no launcher/catalog.json; is it a published tree?" >&2

nginx_bin=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
[ -x "$nginx_bin" ] || die "nginx is not installed (apt-get install nginx)"

mkdir -p "$state"/{logs,run,tmp/client_body,tmp/proxy,tmp/fastcgi,tmp/uwsgi,tmp/scgi}
"$here/make-certs.sh" "$state" "$host" >/dev/null

# Workers run as the invoking user, so they read whatever tree that user can
# read. The "user" directive only applies to a master started as root.
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"

listen_lines="    listen 127.0.0.1:$port ssl;"
if grep -q '^00000000000000000000000000000001 ' /proc/net/if_inet6 2>/dev/null; then
  listen_lines="$listen_lines
    listen [::1]:$port ssl;"
else
  echo "start: note: no IPv6 loopback here; serving 127.0.0.1 only" >&2
fi

if [ -n "${ORVELANT_HOST_ADDRESS:-}" ]; then
  [[ $ORVELANT_HOST_ADDRESS =~ ^[0-9.]+$ || $ORVELANT_HOST_ADDRESS =~ ^\[[0-9a-fA-F:]+\]$ ]] ||
    die "bad address \"$ORVELANT_HOST_ADDRESS\" (a.b.c.d or [v6])"
  listen_lines="$listen_lines
    listen $ORVELANT_HOST_ADDRESS:$port ssl;"
fi

extra_lines=""
[ -f "$state/locations.conf" ] && extra_lines="    include \"$state/locations.conf\";"

conf=$state/nginx.conf
cat >"$conf.new" <<CONF
# Written by host/start.sh; rewritten on every start.
$user_line
worker_processes 2;
pid "$state/run/nginx.pid";
error_log "$state/logs/error.log" notice;

events {
  worker_connections 512;
}

http {
  types {
    application/json json;
    text/plain sig txt;
    application/gzip gz;
    application/octet-stream exe dll dat pak bin;
  }
  default_type application/octet-stream;
  charset off;
  gzip off;
  sendfile on;
  server_tokens off;
  keepalive_timeout 30s;

  # What a cache may keep. Content-addressed product files and the
  # per-version Setups never change their bytes: a year, immutable. Every
  # other path (the launcher documents, manifests, every .sig, files published
  # in place) changes at a fixed address: a cache may store it but must ask
  # the origin at every request (a cheap 304 when nothing changed), so it can
  # never pair a new document with an old signature or an old file.
  map \$uri \$orvelant_cache_control {
    default "no-cache";
    "~^/(norange/|slow/)?(content|launcher/releases)/" "public, max-age=31536000, immutable";
  }

  access_log "$state/logs/access.log";
  client_body_temp_path "$state/tmp/client_body";
  proxy_temp_path "$state/tmp/proxy";
  fastcgi_temp_path "$state/tmp/fastcgi";
  uwsgi_temp_path "$state/tmp/uwsgi";
  scgi_temp_path "$state/tmp/scgi";

  server {
$listen_lines
    server_name $host;

    ssl_certificate "$state/certs/server.crt";
    ssl_certificate_key "$state/certs/server.key";
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:orvelant_tls:1m;

    root "$tree";
    autoindex off;
    etag on;
    add_header Cache-Control \$orvelant_cache_control;

    # Range requests (bytes=N-) give 206, 416 at the end, 200 without Range.
    location / {
    }

    # The same tree without range support: a Range request gets 200 and the
    # whole file, as some hosts and proxies answer.
    location /norange/ {
      alias "$tree/";
      max_ranges 0;
    }

    # The same tree throttled, for slow and interrupted downloads.
    location /slow/ {
      alias "$tree/";
      limit_rate 256k;
    }

$extra_lines
    # The publisher's marker and release record are no downloads.
    location ~ /\.orvelant-(published|releases)\$ {
      return 404;
    }
  }
}
CONF

if ! out=$("$nginx_bin" -t -q -c "$conf.new" -p "$state/" -e "$state/logs/error.log" 2>&1); then
  echo "$out" >&2
  die "nginx refuses the generated configuration $conf.new"
fi
mv -f "$conf.new" "$conf"

if pid=$(host_running_pid "$state"); then
  old_workers=$(host_children "$pid")
  "$nginx_bin" -s reload -c "$conf" -p "$state/" -e "$state/logs/error.log" ||
    die "reload of nginx $pid failed (see $state/logs/error.log)"
  # The reload is done when the old workers have left.
  # shellcheck disable=SC2086
  host_wait_gone $old_workers || echo "start: note: old workers are still finishing requests" >&2
  echo "start: reloaded nginx $pid: https://$host:$port/ serves $tree"
  exit 0
fi
rm -f "$state/run/nginx.pid"

taken=$(host_port_listeners "$port")
if [ -n "$taken" ]; then
  echo "$taken" >&2
  die "port $port is already taken by another program; stop it first"
fi

"$nginx_bin" -c "$conf" -p "$state/" -e "$state/logs/error.log" ||
  die "nginx did not start (see $state/logs/error.log)"
for ((i = 0; i < 100; i++)); do
  pid=$(host_running_pid "$state") && break
  sleep 0.1
done
[ -n "${pid:-}" ] || die "nginx started but wrote no pid file (see $state/logs/error.log)"
echo "start: nginx $pid: https://$host:$port/ serves $tree (CA $state/certs/ca.crt)"
