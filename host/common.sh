# Shared helpers of host/start.sh and host/stop.sh (sourced, not run).

# Prints the pid of this state dir's running nginx master, or fails.
# A pid file alone is not trusted: the process must be an nginx master
# started with this state dir's configuration file.
host_running_pid() {
  local state=$1 pid cmdline
  [ -s "$state/run/nginx.pid" ] || return 1
  read -r pid <"$state/run/nginx.pid" || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ -r "/proc/$pid/cmdline" ] || return 1
  cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || return 1
  [[ $cmdline == *"nginx"* && $cmdline == *"$state/nginx.conf"* ]] || return 1
  echo "$pid"
}

# Prints the pids of the direct children of a process (nginx's workers).
host_children() {
  local parent=$1 stat line rest pid ppid
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    pid=${line%% *}
    rest=${line##*) }
    ppid=${rest#* }
    ppid=${ppid%% *}
    [ "$ppid" = "$parent" ] && echo "$pid"
  done
  return 0
}

# Waits (up to about ten seconds) until none of the given pids exists.
host_wait_gone() {
  local i pid alive
  for ((i = 0; i < 100; i++)); do
    alive=0
    for pid in "$@"; do
      kill -0 "$pid" 2>/dev/null && alive=1
    done
    [ $alive -eq 0 ] && return 0
    sleep 0.1
  done
  return 1
}

# Prints the listening TCP sockets on a port (one line each), or nothing.
# Uses ss when it is installed, otherwise the kernel's socket tables.
host_port_listeners() {
  local port=$1 hex
  if command -v ss >/dev/null 2>&1; then
    ss -Hltn "( sport = :$port )" 2>/dev/null
    return 0
  fi
  hex=$(printf '%04X' "$port")
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    awk -v hex="$hex" '$4 == "0A" { n = split($2, a, ":"); if (a[n] == hex) print "LISTEN " $2 }'
  return 0
}

# Prints the pid of this state dir's running cache edge (Traffic Server), or
# fails. The process must be a traffic_server started with this state dir's
# run root.
edge_running_pid() {
  local state=$1 pid cmdline
  [ -s "$state/run/edge.pid" ] || return 1
  read -r pid <"$state/run/edge.pid" || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ -r "/proc/$pid/cmdline" ] || return 1
  cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || return 1
  [[ $cmdline == *"traffic_server"* && $cmdline == *"$state/runroot.yaml"* ]] || return 1
  echo "$pid"
}

# Prints the pid of one server of this state dir's object store (memcached,
# account, container, object, proxy), or fails. The process must run with
# this state dir's configuration (memcached: its recorded port).
store_pid() {
  local state=$1 name=$2 pid cmdline want
  [ -s "$state/run/$name.pid" ] || return 1
  read -r pid <"$state/run/$name.pid" || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ -r "/proc/$pid/cmdline" ] || return 1
  cmdline=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || return 1
  if [ "$name" = memcached ]; then
    want="-p $(cat "$state/run/memcached.port" 2>/dev/null)"
    [[ $cmdline == *memcached* && $cmdline == *"$want "* ]] || return 1
  else
    [[ $cmdline == *"swift-$name-server"* && $cmdline == *"$state/etc/$name-server.conf"* ]] || return 1
  fi
  echo "$pid"
}

# Succeeds when any server of this state dir's object store runs.
store_running() {
  local name
  for name in memcached account container object proxy; do
    store_pid "$1" "$name" >/dev/null && return 0
  done
  return 1
}
