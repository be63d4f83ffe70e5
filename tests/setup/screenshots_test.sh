#!/usr/bin/env bash
# The Setup's window on a virtual X display, both variants: a new install
# (then installed through its button, the completion box answered No) and
# the update/reinstall choice of the existing installation (then cancelled);
# pixel checks of both pictures; the update choice again at 150 % (144 DPI).
#   screenshots_test.sh <build-dir> <repo-dir>
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
repo=$(cd "${2:?repo dir}" && pwd)
work=$build/tests/scratch/setup-screenshots
rm -rf "$work"
mkdir -p "$work"
# The Setup's own layout table, which the checks read.
WINEPREFIX="$build/wineprefix" WINEDEBUG=-all wine "$build/tools/layout-table.exe" setup \
  "$(WINEPREFIX="$build/wineprefix" winepath -w "$build/bin/ORVELANT_Launcher_Setup_v1.0.0.exe" 2>/dev/null)" </dev/null >"$work/setup-layout.txt" 2>/dev/null
export ORV_SETUP_LAYOUT_TABLE=$work/setup-layout.txt
status=0
shots() { ORV_BUILD_DIR=$build "$repo/scripts/setup-screenshots.sh" "$work/profile" "$work/shots" "$@"; }

out=$(shots new install) || { echo "$out"; exit 1; }
echo "$out"
grep -q 'setup-screenshots: exit 0$' <<<"$out" || { echo "screenshots_test: the install did not end with 0"; status=1; }
grep -q 'ORVELANT Launcher のインストールが完了しました。' "$work/shots/new.box.txt" ||
  { echo "screenshots_test: no completion box after the install"; status=1; }
[ -f "$work/profile/AppData/Local/Programs/ORVELANT Launcher/ORVELANT Launcher.exe" ] ||
  { echo "screenshots_test: nothing installed"; status=1; }
python3 "$repo/tests/setup/check_setup_screenshot.py" "$work/shots" new new "$repo/assets" || status=1

out=$(shots existing cancel) || { echo "$out"; exit 1; }
echo "$out"
grep -q 'setup-screenshots: exit 0$' <<<"$out" || { echo "screenshots_test: Cancel did not end with 0"; status=1; }
python3 "$repo/tests/setup/check_setup_screenshot.py" "$work/shots" existing existing "$repo/assets" || status=1

out=$(ORV_DPI=144 ORV_XVFB_SIZE=2400x1500 ORV_BUILD_DIR=$build \
      "$repo/scripts/setup-screenshots.sh" "$work/profile" "$work/shots-150" existing cancel) ||
  { echo "$out"; exit 1; }
echo "$out"
python3 "$repo/tests/setup/check_setup_screenshot.py" --scale 1.5 "$work/shots" "$work/shots-150" existing existing \
  "$repo/assets" || status=1
echo "screenshots_test: pictures in $work/shots and $work/shots-150"
exit $status
