#!/usr/bin/env bash
# Builds the previous release's programs (the Worker, the Shell and the Setup
# as players have them today) from the repository's history, so tests can
# check that what this build publishes and stores still reads the same to them.
#   previous-release.sh <build-dir>
# Output: <build-dir>/previous-release/bin/ (the three programs under their
# shipped names). They are built with this build's update signing public key
# and update host, so they trust what this build's release tool signs.
# Idempotent: nothing is rebuilt while the commit and the key are the same.
# Exit 77 (skipped) when the commit cannot be had (a shallow clone offline).
set -euo pipefail
build=$(cd "${1:?usage: previous-release.sh <build-dir>}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
commit=$(tr -d ' \n' <"$repo/tests/previous-release/COMMIT")
key="$build/keys/update-signing.pub.pem"
host=$(sed -n 's/^ORV_UPDATE_HOST:STRING=//p' "$build/CMakeCache.txt")
[ -f "$key" ] || { echo "previous-release: no signing key in $build/keys (build first)" >&2; exit 1; }
out="$build/previous-release"
stamp="$out/stamp"
want="$commit $(sha256sum <"$key" | cut -c1-64) $host"
exec 9>"$build/previous-release.lock"
flock 9
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] &&
   [ -f "$out/bin/ORVELANT Update Worker.exe" ] && [ -f "$out/bin/ORVELANT Launcher.exe" ] &&
   [ -f "$out/bin/ORVELANT_Launcher_Setup_v1.0.0.exe" ]; then
  exit 0
fi
if ! git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null; then
  # A shallow clone: ask its origin for that one commit.
  git -C "$repo" fetch -q --depth 1 origin "$commit" 2>/dev/null || true
fi
if ! git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null; then
  echo "previous-release: commit $commit is not in this clone's history and its origin" \
       "did not give it; the tests against the previous release are skipped" >&2
  exit 77
fi
src="$build/previous-release-src"
rm -rf "$src" "$stamp"
mkdir -p "$src"
git -C "$repo" archive "$commit" | tar -x -C "$src"
cmake -S "$src" -B "$out" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DORV_SIGNING_PUBLIC_KEY="$key" -DORV_UPDATE_HOST="$host" >"$build/previous-release.log" 2>&1 ||
  { tail -20 "$build/previous-release.log" >&2; exit 1; }
cmake --build "$out" -j"$(nproc)" --target orvelant_worker orvelant_shell orvelant_setup \
  >>"$build/previous-release.log" 2>&1 || { tail -40 "$build/previous-release.log" >&2; exit 1; }
echo "$want" >"$stamp"
echo "previous-release: built $commit into $out/bin"
