#!/usr/bin/env bash
# Lays out the demo release of three sample games and publishes it with the
# release tool into an update-host tree.
#   make-demo-release.sh <build-dir> <tree-dir> [first-title version: 1.0.0|1.1.0]
# 1.1.0 changes one data file of "first-title", adds another and rewrites
# 256 KiB in the middle of its 16 MiB levels file, so that an installed 1.0.0
# shows an update that fetches only the changed pieces of the large file. Data files are generated (fixed seeds):
# large enough for visible progress, never committed.
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
tree=${2:?tree dir}
first_version=${3:-1.0.0}
work=$build/demo-release
tool=$build/native/orvelant-release
game=$build/samples/ORVELANT.exe

rand() { head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 2>/dev/null; }
product() {  # product <id> <title> <seconds>
  local dir=$work/games/$1
  rm -rf "$dir"
  mkdir -p "$dir/data" "$dir/config"
  cp "$game" "$dir/ORVELANT.exe"
  printf 'title=%s\r\nseconds=%s\r\n' "$2" "$3" >"$dir/game.txt"
  printf 'quality=high\r\nvsync=on\r\n' >"$dir/config/default.cfg"
}

product first-title HALCYRA 5
if [ "$first_version" = 1.1.0 ]; then
  rand first-world-1.1 3145728 >"$work/games/first-title/data/world.pak"
  rand first-patch-1.1 1048576 >"$work/games/first-title/data/patch-1.1.pak"
else
  rand first-world-1.0 3145728 >"$work/games/first-title/data/world.pak"
fi
levels=$work/games/first-title/data/levels.pak
rand first-levels 16777216 >"$levels"
if [ "$first_version" = 1.1.0 ]; then
  rand first-levels-1.1 262144 | dd of="$levels" bs=1M seek=8 conv=notrunc status=none
fi
mkdir -p "$work/games/first-title/data/audio"
rand first-music 2097152 >"$work/games/first-title/data/audio/music.pak"

product second-title VESPERLINE 5
rand second-world 4194304 >"$work/games/second-title/data/world.pak"

product third-title "ASHEN CHOIR" 5
rand third-world 1572864 >"$work/games/third-title/data/world.pak"
mkdir -p "$work/games/third-title/data/voices"
rand third-voices 1048576 >"$work/games/third-title/data/voices/ja.pak"

cat >"$work/release.txt" <<TXT
# ORVELANT demo release.
host = localhost
signing_key = $build/keys/update-signing.pem

[control]
service_state = normal
signal = SIGNAL // LOCAL HOST ONLINE
announcement = "HALCYRA $first_version is live."
latest_launcher_version = 1.0.0

[news]
title = HALCYRA // $first_version
summary = The first world opens its gates.
published_at = 2026-12-01

[news]
title = VESPERLINE // ANNOUNCED
summary = 第二の世界が近づいています。
published_at = 2026-11-20

[news]
title = SERVICE // NORMAL
summary = All systems are running.
published_at = 2026-11-01

[product first-title]
title = HALCYRA
project = PROJECT / 001
subtitle = THE NEXT WORLD STARTS HERE.
install_dir = first-title
executable = ORVELANT.exe
manifest_path = /games/first-title/stable/manifest.json
folder = games/first-title
version = $first_version

[product second-title]
title = VESPERLINE
project = PROJECT / 002
subtitle = A CITY THAT NEVER SLEEPS.
install_dir = second-title
executable = ORVELANT.exe
manifest_path = /games/second-title/stable/manifest.json
folder = games/second-title
version = 0.9.0

[product third-title]
title = ASHEN CHOIR
project = PROJECT / 003
subtitle = EVERY VOICE REMEMBERS.
install_dir = third-title
executable = ORVELANT.exe
manifest_path = /games/third-title/stable/manifest.json
folder = games/third-title
version = 0.3.0
TXT
# The tree serves the build's development root of trust, as a publisher's
# tree serves its root chain (publish keeps it and signs with its document key).
roots=$build/keys/root-tree/launcher/root
if [ -d "$roots" ] && [ ! -d "$tree/launcher/root" ]; then
  mkdir -p "$tree/launcher/root"
  cp "$roots"/*.root.json* "$tree/launcher/root/"
fi
"$tool" publish "$work/release.txt" "$tree"
