#!/usr/bin/env bash
# Configures (once) and builds everything into build/: the Windows programs,
# the test programs, the tools and the native release tool. A build whose
# programs carry the development code-signing certificate (no publisher's
# certificate given) says so on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
setup=build/bin/ORVELANT_Launcher_Setup_v1.0.0.exe
development=build/keys/codesign/cert.pem
if [ -f "$development" ] && [ -f "$setup" ]; then
  # Captured first: grep -q closing the pipe early would fail it under pipefail.
  report=$(osslsigncode verify -CAfile "$development" -in "$setup" 2>/dev/null || true)
  if grep -q '^Signature verification: ok' <<<"$report"; then
    echo "signed with the development certificate: not for release"
  fi
fi
