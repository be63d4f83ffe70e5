#!/usr/bin/env bash
# The main job, as far as the launcher exists today: build, then run the
# Update Worker in each of its modes in a scratch install directory, as a
# child of a window (the monitor stands in for the Shell), and show what it
# posted, its exit codes and its log.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh

root=$PWD
demo=$root/build/demo
install=$demo/install
wine_run() { "$root/scripts/wine-run" "$root/build/wineprefix" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }

rm -rf "$demo"
mkdir -p "$install"
cp "build/bin/ORVELANT Update Worker.exe" "$install/"
worker=$(winpath "$install/ORVELANT Update Worker.exe")
monitor=build/tools/worker-monitor.exe

# A catalog with one product, as a sync would have left it.
cat >"$install/catalog.json" <<'JSON'
{
  "products": [
    {
      "id": "first-title",
      "title": "HALCYRA",
      "install_dir": "first-title",
      "executable": "ORVELANT.exe",
      "manifest_path": "/games/first-title/stable/manifest.json"
    }
  ]
}
JSON

step() { echo; echo "== $1"; echo "   worker$2"; }
run() { wine_run "$monitor" "$worker" "$@" || true; }

step "signed sync" " /sync /parent:<window>"
run /sync "/parent:{parent}"
step "product job, id not in the catalog" " /parent:<window> /product:unknown"
run "/parent:{parent}" /product:unknown
step "product job, first-title (manifest from the update host)" " /parent:<window> /product:first-title"
run "/parent:{parent}" /product:first-title
step "product repair" " /parent:<window> /product:first-title /repair"
run "/parent:{parent}" /product:first-title /repair
step "launcher self-update without an installer in control.json" " /self-update /parent:<window>"
run /self-update "/parent:{parent}"
step "no switch at all" ""
run

echo
echo "== logs/updater.log"
sed 's/\r$//; s/^/   /' "$install/logs/updater.log"
echo
echo "Scratch install directory: $install"
