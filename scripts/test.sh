#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (Windows
# programs under Wine, the release tool and the update host natively).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
cd build
exec ctest -j"$(nproc)" --output-on-failure --timeout 300
