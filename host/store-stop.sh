#!/usr/bin/env bash
# Stops the object store of host/store-start.sh: each server its pid file
# names, only when that pid runs with this state dir's configuration, with
# the workers it started (its own session). Fine when nothing runs; the data
# in <state-dir>/srv stays.
#   host/store-stop.sh <state-dir>
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/common.sh"
[ $# -eq 1 ] || { echo "usage: store-stop.sh <state-dir>" >&2; exit 2; }
[ -d "$1" ] || exit 0
state=$(cd "$1" && pwd)
pids=()
for name in proxy object container account memcached; do
  if pid=$(store_pid "$state" "$name"); then
    # Each server was started as the leader of its own session; its workers
    # are in its process group.
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    pids+=("$pid")
  fi
  rm -f "$state/run/$name.pid"
done
[ ${#pids[@]} -eq 0 ] || host_wait_gone "${pids[@]}" || {
  for pid in "${pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  host_wait_gone "${pids[@]}" || true
}
[ ${#pids[@]} -eq 0 ] || echo "stop: object store of $state stopped"
