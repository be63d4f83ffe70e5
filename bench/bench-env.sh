# Sourced first by the benchmarks: the repository and build folders, the
# packages the benchmark needs, and the run moved into its own loopback where
# the machine allows it (scripts/private-net): port 443 is then free for the
# run's update host whatever else runs here, and no other run's host is
# measured by mistake.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD
build=$repo/build

. "$repo/bench/bench-packages.sh"

if [ -z "${ORV_BENCH_NET:-}" ]; then
  # ORV_BENCH_PACKAGES: what the benchmark needs beyond ./scripts/install-deps.sh,
  # as command:package pairs.
  # shellcheck disable=SC2086
  bench_install ${ORV_BENCH_PACKAGES:-}
  export ORV_BENCH_NET=1
  # The Wine prefixes whose servers the move restarts: the build's, unless
  # the benchmark keeps its own (ORV_BENCH_PREFIXES: the folder holding them).
  exec "$repo/scripts/private-net" "${ORV_BENCH_PREFIXES:-$build}" "$repo/bench/$(basename "$0")" "$@"
fi
