#!/usr/bin/env bash
# Runs a test program with a real second volume: inside a private mount
# namespace, a small tmpfs is drive Y: of a Wine prefix of its own (and a
# read-only one drive X:), so a rename between the install directory (on the
# build's disk) and Y: crosses volumes for real; a 1 MiB one is drive W:, too
# small for some products. Nobody outside the namespace sees the mounts; the
# prefix's server is started inside it and stopped
# before the namespace ends. Needs root; otherwise the test is skipped (77).
#   second_volume.sh <build-dir> <test-program.exe> [gtest args...]
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
shift
repo=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$build/wineprefix-volume
if [ -z "${ORVELANT_VOLUME_NS:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "second volume: needs root and unshare -m; skipped"
    exit 77
  fi
  # The prefix is made (once) outside: its first start takes a while.
  "$repo/scripts/wine-prefix.sh" "$prefix"
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  ORVELANT_VOLUME_NS=1 exec unshare -m --propagation private -- "$0" "$build" "$@"
fi

volumes=$build/tests/volume
mkdir -p "$volumes/second" "$volumes/readonly" "$volumes/small"
mount -t tmpfs -o size=64m orvelant-second "$volumes/second"
mount -t tmpfs -o ro,size=1m orvelant-readonly "$volumes/readonly"
mount -t tmpfs -o size=1m orvelant-small "$volumes/small"
ln -sfn "$volumes/second" "$prefix/dosdevices/y:"
ln -sfn "$volumes/readonly" "$prefix/dosdevices/x:"
ln -sfn "$volumes/small" "$prefix/dosdevices/w:"
export WINEPREFIX=$prefix
stop() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
trap stop EXIT
"$repo/scripts/wine-run" "$prefix" "$build/tools/trust-ca.exe" \
  "Z:${build//\//\\}\\tests\\host\\state\\certs\\ca.crt" >/dev/null
"$repo/scripts/wine-run" "$prefix" "$@"
