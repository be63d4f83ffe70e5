# Small assertion helpers for the shell tests (sourced).
#
# Every test script runs with:
#   ORV_RELEASE  the orvelant-release binary under test
#   ORV_WORK     an empty scratch folder of its own
set -uo pipefail

: "${ORV_RELEASE:?ORV_RELEASE must name the orvelant-release binary}"
: "${ORV_WORK:?ORV_WORK must name a scratch folder}"
rm -rf "$ORV_WORK"
mkdir -p "$ORV_WORK"

failures=0
current_group=""

group() {
  current_group=$1
  echo "== $1"
}

fail() {
  echo "FAIL [$current_group]: $*" >&2
  failures=$((failures + 1))
}

# ok <description> <command...>: the command must succeed.
ok() {
  local what=$1
  shift
  local out
  if ! out=$("$@" 2>&1); then
    fail "$what: command failed: $*"
    printf '%s\n' "$out" | sed 's/^/    /' >&2
  fi
}

# refused <description> <stderr-pattern> <command...>: the command must exit
# non-zero and say why on stderr (the pattern is a fixed string).
refused() {
  local what=$1 pattern=$2
  shift 2
  local err rc
  err=$("$@" 2>&1 >/dev/null)
  rc=$?
  if [ $rc -eq 0 ]; then
    fail "$what: expected a refusal, got exit 0: $*"
  elif ! grep -qF -- "$pattern" <<<"$err"; then
    fail "$what: exit $rc but the message lacks \"$pattern\": $err"
  fi
}

# same <description> <expected> <actual>
same() {
  if [ "$2" != "$3" ]; then
    fail "$1: expected \"$2\", got \"$3\""
  fi
}

# sig_to_bin <sig-file> <bin-file>: the hex signature as raw bytes for openssl
# (perl-base is part of every Debian system).
sig_to_bin() {
  perl -0777 -ne 's/[ \t\r\n]//g; print pack("H*", $_)' <"$1" >"$2"
}

# openssl_verifies <public.pem> <document>: openssl's own check of <document>.sig.
openssl_verifies() {
  local bin rc
  bin=$(mktemp "$ORV_WORK/sig.XXXXXX")
  sig_to_bin "$2.sig" "$bin"
  openssl dgst -sha256 -verify "$1" -signature "$bin" "$2" >/dev/null 2>&1
  rc=$?
  rm -f "$bin"
  return $rc
}

finish() {
  if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

# same_file <description> <expected-file> <actual-file>: byte for byte.
same_file() {
  if ! cmp -s "$2" "$3"; then
    fail "$1: $3 differs from the expected bytes"
    diff <(od -c "$2") <(od -c "$3") | head -20 | sed 's/^/    /' >&2
  fi
}
