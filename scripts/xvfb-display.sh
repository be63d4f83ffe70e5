#!/usr/bin/env bash
# A private X server for screenshots: Xvfb on the first free display of
# :71..:90, 1600x1000x24 (room for the Shell's whole window, so Wine does not
# clamp it; ORV_XVFB_SIZE=WxH gives another size), no TCP. The state directory records the display and the pid.
#   xvfb-display.sh start <state-dir>   prints the display (":71"); starts it
#                                       only if that state's server is not running
#   xvfb-display.sh stop <state-dir>    stops that state's server, if any
set -euo pipefail
action=${1:?usage: xvfb-display.sh start|stop <state-dir>}
state=${2:?usage: xvfb-display.sh start|stop <state-dir>}
mkdir -p "$state"
state=$(cd "$state" && pwd)

running() {   # the recorded server, if it is alive and is our Xvfb
  [ -f "$state/pid" ] && [ -f "$state/display" ] || return 1
  local pid
  pid=$(cat "$state/pid")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q "^Xvfb $(cat "$state/display") "
}

exec 9>"$state/lock"
flock 9

case "$action" in
start)
  if running; then
    cat "$state/display"
    exit 0
  fi
  rm -f "$state/pid" "$state/display"
  for n in $(seq 71 90); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    # setsid: the server must not die with the caller's terminal. (Started
    # in the background it is no group leader, so setsid does not fork and
    # $! is the server itself.)
    setsid Xvfb ":$n" -screen 0 "${ORV_XVFB_SIZE:-1600x1000}x24" -nolisten tcp -br -noreset \
      </dev/null >"$state/xvfb.log" 2>&1 9>&- &
    launched=$!
    for _ in $(seq 1 100); do
      kill -0 "$launched" 2>/dev/null || break   # another server took :$n first
      # Ours once its lock file names it and its socket takes connections.
      if [ -S "/tmp/.X11-unix/X$n" ] &&
         [ "$(tr -dc '0-9' 2>/dev/null <"/tmp/.X$n-lock" || true)" = "$launched" ]; then
        echo "$launched" >"$state/pid"
        echo ":$n" >"$state/display"
        echo ":$n"
        exit 0
      fi
      sleep 0.1
    done
    kill "$launched" 2>/dev/null || true   # never came up: do not leave it behind
  done
  echo "xvfb-display: no free display in :71..:90 (see $state/xvfb.log)" >&2
  exit 1
  ;;
stop)
  if running; then
    pid=$(cat "$state/pid")
    kill "$pid"
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid"
  fi
  rm -f "$state/pid" "$state/display"
  ;;
*)
  echo "usage: xvfb-display.sh start|stop <state-dir>" >&2
  exit 2
  ;;
esac
