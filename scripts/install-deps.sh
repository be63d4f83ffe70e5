#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need.
# Idempotent: asks apt only for what is missing.
set -euo pipefail

PACKAGES=(
  g++-mingw-w64-x86-64-posix  # Windows x86-64 cross compiler (posix threads)
  mingw-w64-tools             # windres and friends
  wine wine64                 # runs the Windows programs and tests
  nginx                       # the local update host
  openssl libssl-dev          # release tool (libcrypto), test CA
  zlib1g-dev                  # release tool: the manifests' compressed twins
  libz-mingw-w64-dev          # Update Worker: inflating a manifest's twin (static)
  xvfb imagemagick            # screenshots of the windows; artwork
  fonts-noto-cjk              # Japanese text under Wine
  fonts-wine                  # Wine's Marlett: the caption buttons' glyphs
  cmake googletest            # build system, GoogleTest sources
  g++ make                    # native build of the release tool
  curl iproute2               # update host checks (curl over TLS, ss)
  trafficserver               # the cache edge in front of the update host
  rclone                      # uploads a published tree to an S3-compatible bucket
  swift swift-proxy swift-account swift-container swift-object  # a local S3-compatible store (its S3 layer) for the upload test
  memcached                   # the store's token cache
  osslsigncode                # Authenticode signatures of the programs
  python3                     # artwork script, screenshot checks
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# Services some of these packages ship (memcached, Swift's servers, rsyslog)
# must not start: the tests run private instances of their own. Debian's
# policy-rc.d says no to every start while the packages install.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs\nexit 101\n' |
    $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod 755 /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
