#!/usr/bin/env bash
# Time to a painted window (first frame) and to a window that answers input
# with every page built (first input): the Shell against a bare Win32 window
# of the same size, started alternately in the same X11 prefix on the private
# Xvfb, median of ORV_BENCH_STARTS (default 7) starts each, both ratios
# printed; then one Shell start
# with ORVELANT_STARTUP_PROFILE set, whose per-step profile is printed.
# ORV_BENCH_BASELINE_SHELL=<another ORVELANT Launcher.exe> times that build
# too, in the same rounds and the same install (an earlier build, say).
#   ./bench/startup_bench.sh          (after ./scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/scripts
build=${ORV_BUILD_DIR:-$root/build}
starts=${ORV_BENCH_STARTS:-7}
timer="$build/tools/startup-timer.exe"
bare="$build/tools/bare-window.exe"
[ -f "$timer" ] && [ -f "$bare" ] || { echo "startup_bench: build first (./scripts/build.sh)" >&2; exit 1; }

install=$build/bench/startup/install
rm -rf "$install"
mkdir -p "$install/assets"
cp "$build/bin/ORVELANT Launcher.exe" "$install/"
baseline=${ORV_BENCH_BASELINE_SHELL:-}
[ -z "$baseline" ] || cp "$baseline" "$install/baseline-shell.exe"
cp "$root"/assets/orvelant-wordmark.bmp "$root"/assets/origin-core.bmp "$root"/assets/origin-core.ico "$install/assets/"
printf '%s' '{"products": [
 {"id": "first-title", "title": "HALCYRA", "project": "PROJECT / 001", "install_dir": "first-title", "executable": "ORVELANT.exe"},
 {"id": "second-title", "title": "VESPERLINE", "install_dir": "second-title", "executable": "ORVELANT.exe"},
 {"id": "third-title", "title": "灰の聖歌隊", "install_dir": "third-title", "executable": "ORVELANT.exe"}]}' >"$install/catalog.json"
printf '%s' '{"items": [{"title": "SEASON ONE // NOW LIVE", "summary": "新しい世界への扉が開きました。"}]}' >"$install/news.json"

. "$here/x11-session.sh"
win() { winepath -w "$1" 2>/dev/null; }
shell_w=$(win "$install/ORVELANT Launcher.exe")
install_w=$(win "$install")
bare_w=$(win "$bare")
shell_class=ORVELANT_LAUNCHER_SHELL_V10
measure() { wine "$timer" "$@" </dev/null 2>/dev/null | tr -d '\r' || true; }

# The Shell's first frame shows this many controls, and it makes this many
# in all: the third peer is the bare window with as many plain labels shown
# and the rest made hidden after its first frame, as the Shell makes its
# other pages (what making and painting that many child windows costs at
# all, whoever makes them); the fourth draws as many texts itself, with no
# child window (what the same first frame costs without controls).
(cd "$install" && wine "$shell_w" </dev/null >/dev/null 2>&1) &
shell_pid=$!
drive wait 30000 >/dev/null
controls=$(drive dump)
labels=$(awk -F'\t' '$4 == 1' <<<"$controls" | wc -l)
hidden=$(( $(wc -l <<<"$controls") - labels ))
drive close >/dev/null 2>&1 || true
wait "$shell_pid" 2>/dev/null || true
shell_pid=
echo "the Shell's first frame shows $labels controls; $hidden more are made hidden"
# The libraries each program names in its imports (each is loaded and
# started before the program's own code runs).
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ {printf "%s ", tolower($3)}'; }
  echo "imports: Shell $(imports "$install/ORVELANT Launcher.exe")| bare window $(imports "$bare")"
fi

# One start of each first, not counted: the prefix's server and caches warm up.
measure ORV_BARE_WINDOW "$bare_w" >/dev/null
measure "$shell_class" "$shell_w" "$install_w" >/dev/null || true
# Each measure prints "<first frame> <first input>".
bare_ms=() shell_ms=() base_ms=() labels_ms=() labels_in=() drawn_ms=() bare_in=() shell_in=() base_in=()
for i in $(seq 1 "$starts"); do
  # Which goes first alternates: a start right after another runs warmer.
  if [ $((i % 2)) = 1 ]; then
    read -r b bi <<<"$(measure ORV_BARE_WINDOW "$bare_w")" || true
    read -r s si <<<"$(measure "$shell_class" "$shell_w" "$install_w")" || true
  else
    read -r s si <<<"$(measure "$shell_class" "$shell_w" "$install_w")" || true
    read -r b bi <<<"$(measure ORV_BARE_WINDOW "$bare_w")" || true
  fi
  read -r l li <<<"$(measure ORV_BARE_WINDOW "$bare_w" "" "$labels $hidden")" || true
  [ -z "$l" ] || [ -z "$li" ] || { labels_ms+=("$l"); labels_in+=("$li"); }
  read -r d di <<<"$(measure ORV_BARE_WINDOW "$bare_w" "" "drawn $labels")" || true
  [ -z "$d" ] || drawn_ms+=("$d")
  if [ -n "$baseline" ]; then
    read -r o oi <<<"$(measure "$shell_class" "$(win "$install/baseline-shell.exe")" "$install_w")" || true
    echo "start $i: bare window ${b:-(no window)}/${bi:-} ms, Shell ${s:-(no window)}/${si:-} ms, baseline ${o:-(no window)}/${oi:-} ms (first frame/first input)"
    [ -n "$o" ] || continue
  else
    echo "start $i: bare window ${b:-(no window)}/${bi:-} ms, Shell ${s:-(no window)}/${si:-} ms (first frame/first input)"
  fi
  [ -n "$b" ] && [ -n "$s" ] && [ -n "$bi" ] && [ -n "$si" ] || continue   # a round counts only whole
  bare_ms+=("$b") shell_ms+=("$s") bare_in+=("$bi") shell_in+=("$si")
  [ -z "$baseline" ] || { base_ms+=("$o"); base_in+=("$oi"); }
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
mb=$(median "${bare_ms[@]}")
ms=$(median "${shell_ms[@]}")
echo
[ ${#bare_ms[@]} -gt 0 ] || { echo "startup_bench: nothing measured" >&2; exit 1; }
echo "median of ${#bare_ms[@]}: bare window $mb ms, Shell $ms ms, first frame ratio $(awk -v s="$ms" -v b="$mb" 'BEGIN {printf "%.2f", s / b}')x (goal 1.3x)"
mbi=$(median "${bare_in[@]}")
msi=$(median "${shell_in[@]}")
echo "median of ${#bare_in[@]}: bare window $mbi ms, Shell $msi ms, first input ratio $(awk -v s="$msi" -v b="$mbi" 'BEGIN {printf "%.2f", s / b}')x (goal 1.3x)"
ml=$(median "${labels_ms[@]}")
mli=$(median "${labels_in[@]}")
echo "bare window with $labels labels shown and $hidden hidden: first frame $ml ms, ratio $(awk -v s="$ml" -v b="$mb" 'BEGIN {printf "%.2f", s / b}')x, Shell against it $(awk -v s="$ms" -v b="$ml" 'BEGIN {printf "%.2f", s / b}')x; first input $mli ms, ratio $(awk -v s="$mli" -v b="$mbi" 'BEGIN {printf "%.2f", s / b}')x, Shell against it $(awk -v s="$msi" -v b="$mli" 'BEGIN {printf "%.2f", s / b}')x"
md=$(median "${drawn_ms[@]}")
echo "bare window drawing $labels texts itself (no child windows): first frame $md ms, ratio $(awk -v s="$md" -v b="$mb" 'BEGIN {printf "%.2f", s / b}')x"

if [ -n "$baseline" ]; then
  mo=$(median "${base_ms[@]}")
  moi=$(median "${base_in[@]}")
  echo "baseline Shell $mo ms, first frame ratio $(awk -v s="$mo" -v b="$mb" 'BEGIN {printf "%.2f", s / b}')x; first input $moi ms, ratio $(awk -v s="$moi" -v b="$mbi" 'BEGIN {printf "%.2f", s / b}')x"
fi
echo
echo "start-up profile of one Shell start (logs/launcher.log), with the load average ($(cut -d' ' -f1-3 /proc/loadavg)):"
rm -f "$install/logs/launcher.log"
ORVELANT_STARTUP_PROFILE=1 measure "$shell_class" "$shell_w" "$install_w" >/dev/null
grep -a 'startup profile' "$install/logs/launcher.log" | sed 's/^/  /'
