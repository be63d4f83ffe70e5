# An emulated network link for the benchmarks (sourced): two network
# namespaces, "client" and "server", joined only by bench/linkemu's delay
# line (a TUN device in each, packets forwarded through a rate-limited
# bottleneck and a fixed one-way delay). See bench/README.md.
#
#   link_build <binary>               compiles linkemu with the system g++ (when older than its source)
#   link_up <Mbit/s> <RTT ms> [queue KiB]
#                                     creates the namespaces and starts the link
#   link_server <command...>          runs a command in the server namespace
#   link_client <command...>          runs a command in the client namespace, with
#                                     its own /etc/hosts naming $link_host at the server
#   link_down                         stops the link (prints what it carried) and removes
#                                     the namespaces
#
# Needs root, iproute2 (ip netns), util-linux (nsenter, unshare) and /dev/net/tun.
# Addresses: client 10.29.0.1, server 10.29.0.2 (point to point on the TUN devices).
link_host=${link_host:-localhost}
link_client_ip=10.29.0.1
link_server_ip=10.29.0.2
link_dev=orvlink0
link_pid=
link_tag=

link_build() {
  local out=$1 src
  src=$(dirname "${BASH_SOURCE[0]}")/linkemu.cpp
  [ -x "$out" ] && [ "$out" -nt "$src" ] && return 0
  mkdir -p "$(dirname "$out")"
  g++ -O2 -Wall -Wextra -o "$out" "$src"
}

# link_up <rate Mbit/s> <RTT ms> [queue KiB]; uses $link_bin and $link_dir.
link_up() {
  local rate=$1 rtt=$2 queue=${3:-} i
  link_tag=orvlink-$$-$RANDOM
  mkdir -p "$link_dir"
  ip netns add "$link_tag-c"
  ip netns add "$link_tag-s"
  "$link_bin" --ns-a "/run/netns/$link_tag-c" --ns-b "/run/netns/$link_tag-s" --dev "$link_dev" \
    --rate-mbit "$rate" --rtt-ms "$rtt" ${queue:+--queue-kib "$queue"} \
    >"$link_dir/linkemu.out" 2>"$link_dir/linkemu.log" &
  link_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q '^ready' "$link_dir/linkemu.out" 2>/dev/null && break
    kill -0 "$link_pid" 2>/dev/null || { cat "$link_dir/linkemu.log" >&2; return 1; }
    sleep 0.05
  done
  local ns me peer
  for ns in c s; do
    if [ $ns = c ]; then me=$link_client_ip peer=$link_server_ip; else me=$link_server_ip peer=$link_client_ip; fi
    ip -n "$link_tag-$ns" link set lo up
    # IPv4 only: no router solicitations or other IPv6 chatter on the link.
    ip netns exec "$link_tag-$ns" sysctl -qw "net.ipv6.conf.$link_dev.disable_ipv6=1" 2>/dev/null || true
    ip -n "$link_tag-$ns" addr add "$me" peer "$peer" dev "$link_dev"
    ip -n "$link_tag-$ns" link set "$link_dev" up
  done
  printf '%s %s\n127.0.0.1 localhost.localdomain\n' "$link_server_ip" "$link_host" >"$link_dir/hosts"
}

link_server() { nsenter --net="/run/netns/$link_tag-s" -- "$@"; }

# A private mount namespace per command: its /etc/hosts names the server
# across the link, and nothing outside sees that.
link_client() {
  nsenter --net="/run/netns/$link_tag-c" -- unshare -m --propagation private -- \
    sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$link_dir/hosts" "$@"
}

link_down() {
  if [ -n "$link_pid" ]; then
    kill "$link_pid" 2>/dev/null && wait "$link_pid" 2>/dev/null
    link_pid=
  fi
  if [ -n "$link_tag" ]; then
    ip netns del "$link_tag-c" 2>/dev/null
    ip netns del "$link_tag-s" 2>/dev/null
    link_tag=
  fi
  return 0
}
