# Sourced by the benchmarks before they enter their own network namespace.
# bench_install <command:package>...: installs the Debian package of every
# command that is missing. Call it before the run moves into its own network
# namespace: from inside one no package registry can be reached.
bench_install() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "$(basename "$0"): installing ${missing[*]}"
  apt-get install -y -q "${missing[@]}" </dev/null >/dev/null 2>&1 ||
    { apt-get update -q </dev/null >/dev/null && apt-get install -y -q "${missing[@]}" </dev/null >/dev/null; } ||
    { echo "$(basename "$0"): could not install ${missing[*]}" >&2; exit 1; }
}
