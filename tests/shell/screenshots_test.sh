#!/usr/bin/env bash
# The Shell on a real (virtual) X display: screenshots of every page, then
# pixel checks of the colour groups, the geometry, the Japanese text and the
# window icon; once with the artwork installed and once without it. Then the
# same install at 150 % (144 DPI): every rectangle and text 1.5 times the
# 100 % pictures'; and at 100 % on a 1366x768 screen, where the window must
# shrink to fit with its status line on screen.
#   screenshots_test.sh <build-dir> <repo-dir>
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
repo=$(cd "${2:?repo dir}" && pwd)
work=$build/tests/scratch/screenshots
rm -rf "$work"
mkdir -p "$work/artwork/assets" "$work/plain"

for dir in "$work/artwork" "$work/plain"; do
  cp "$build/bin/ORVELANT Launcher.exe" "$dir/"
  printf '%s' '{"products": [
  {"id": "first-title", "title": "HALCYRA", "project": "PROJECT / 001", "subtitle": "THE NEXT WORLD STARTS HERE.",
   "install_dir": "first-title", "executable": "ORVELANT.exe", "store_url": "https://www.orvelant.example/games/halcyra/"},
  {"id": "second-title", "title": "VESPERLINE", "project": "PROJECT / 002", "install_dir": "second-title", "executable": "ORVELANT.exe"},
  {"id": "third-title", "title": "灰の聖歌隊", "install_dir": "third-title", "executable": "ORVELANT.exe"}]}' >"$dir/catalog.json"
  printf '%s' '{"items": [{"title": "SEASON ONE // NOW LIVE", "summary": "新しい世界への扉が開きました。", "published_at": "2026-12-01"},
  {"title": "MAINTENANCE WINDOW", "summary": "12月10日 02:00-04:00"}]}' >"$dir/news.json"
  printf 'second-title\r\n' >"$dir/favorites.txt"
done
cp "$repo"/assets/orvelant-wordmark.bmp "$repo"/assets/origin-core.bmp "$repo"/assets/origin-core.ico \
   "$work/artwork/assets/"

# The Shell's own layout table, which the checks read.
WINEPREFIX="$build/wineprefix" WINEDEBUG=-all wine "$build/tools/layout-table.exe" shell \
  "$(WINEPREFIX="$build/wineprefix" winepath -w "$build/bin/ORVELANT Launcher.exe" 2>/dev/null)" </dev/null >"$work/shell-layout.txt" 2>/dev/null
export ORV_LAYOUT_TABLE=$work/shell-layout.txt
wordmark=$(awk -F'\t' '$8 ~ /image-fallback/ {print $10 "," $11 "," $12 "," $13; exit}' "$ORV_LAYOUT_TABLE")

status=0
"$repo/scripts/shell-screenshots.sh" "$work/artwork" "$work/shots-artwork"
python3 "$repo/tests/shell/check_screenshots.py" --icon "$work/shots-artwork" || status=1
"$repo/scripts/shell-screenshots.sh" "$work/plain" "$work/shots-plain"
python3 "$repo/tests/shell/check_screenshots.py" --no-icon "$work/shots-plain" || status=1

# Without the wordmark bitmap the header shows the text wordmark instead.
if ! grep -qP "\t0\tStatic\t1\t1\t$wordmark\t.*\tORVELANT\$" "$work/shots-plain/HOME.controls.txt"; then
  echo "screenshots_test: no text wordmark at $wordmark without the bitmap"; status=1
fi
if grep -qP "\t$wordmark\t" "$work/shots-artwork/HOME.controls.txt"; then
  echo "screenshots_test: a text wordmark although the bitmap is installed"; status=1
fi
ORV_DPI=144 ORV_XVFB_SIZE=2400x1500 "$repo/scripts/shell-screenshots.sh" "$work/artwork" "$work/shots-150"
python3 "$repo/tests/shell/check_screenshots.py" --icon --reference "$work/shots-artwork" --scale 1.5 \
  --screen 2400x1500 "$work/shots-150" || status=1
ORV_XVFB_SIZE=1366x768 "$repo/scripts/shell-screenshots.sh" "$work/artwork" "$work/shots-1366"
python3 "$repo/tests/shell/check_screenshots.py" --icon --reference "$work/shots-artwork" \
  --screen 1366x768 "$work/shots-1366" || status=1
if ! grep -qP '^\d+\t0\tStatic\t1\t1\t.*\tREADY // ' "$work/shots-1366/HOME.controls.txt"; then
  echo "screenshots_test: no visible status line on the 1366x768 screen"; status=1
fi
[ -s "$work/shots-artwork/messageboxes.txt" ] && { echo "screenshots_test: unexpected message box"; status=1; }
echo "screenshots_test: pictures in $work/shots-artwork, shots-plain, shots-150 and shots-1366"
exit $status
