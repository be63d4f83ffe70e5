#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (Windows
# programs under Wine, the release tool and the update host natively).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
cd build
# Its own loopback where the machine allows it: port 443 is then free for the
# suite's update host whatever else runs here.
exec ../scripts/private-net . ctest -j"$(nproc)" --output-on-failure --timeout 300
