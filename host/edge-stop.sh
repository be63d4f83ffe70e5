#!/usr/bin/env bash
# Stops the cache edge of one state dir, and only that one.
#
#   host/edge-stop.sh <edge-state-dir>
#
# Fine when nothing runs. A stale pid file is removed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"

die() { echo "edge-stop: $*" >&2; exit 1; }

[ $# -eq 1 ] || die "usage: edge-stop.sh <edge-state-dir>"
if [ ! -d "$1" ]; then
  echo "edge-stop: no edge in $1"
  exit 0
fi
state=$(cd "$1" && pwd)
if ! pid=$(edge_running_pid "$state"); then
  rm -f "$state/run/edge.pid"
  echo "edge-stop: not running"
  exit 0
fi
kill -TERM "$pid"
if ! host_wait_gone "$pid"; then
  echo "edge-stop: Traffic Server $pid did not stop in time; killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
  host_wait_gone "$pid" || die "Traffic Server $pid is still there"
fi
rm -f "$state/run/edge.pid"
echo "edge-stop: stopped Traffic Server $pid"
