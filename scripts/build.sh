#!/usr/bin/env bash
# Configures (once) and builds everything into build/: the Windows programs,
# the test programs, the tools and the native release tool.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
