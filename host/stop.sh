#!/usr/bin/env bash
# Stops the update host instance of one state dir, and only that one.
#
#   host/stop.sh <state-dir>
#
# Fine when nothing runs. A stale pid file is removed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"

die() { echo "stop: $*" >&2; exit 1; }

[ $# -eq 1 ] || die "usage: stop.sh <state-dir>"
if [ ! -d "$1" ]; then
  echo "stop: no update host in $1"
  exit 0
fi
state=$(cd "$1" && pwd)

if ! pid=$(host_running_pid "$state"); then
  if [ -e "$state/run/nginx.pid" ]; then
    rm -f "$state/run/nginx.pid"
    echo "stop: removed a stale pid file; nothing was running"
  else
    echo "stop: not running"
  fi
  exit 0
fi

workers=$(host_children "$pid")
kill -TERM "$pid"
# shellcheck disable=SC2086
if ! host_wait_gone "$pid" $workers; then
  echo "stop: nginx $pid did not stop in time; killing it" >&2
  # shellcheck disable=SC2086
  kill -KILL "$pid" $workers 2>/dev/null || true
  # shellcheck disable=SC2086
  host_wait_gone "$pid" $workers || die "nginx $pid is still there"
fi
rm -f "$state/run/nginx.pid"
echo "stop: stopped nginx $pid"
