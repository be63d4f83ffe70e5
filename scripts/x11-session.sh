# Sourced by the scripts that drive the Shell on a private virtual display
# (shell-screenshots.sh, demo-player.sh, setup-screenshots.sh); needs $here (scripts/) and $build.
# One run at a time in the X11 prefix; a private Xvfb, started here unless
# one is running already; the prefix's environment; `drive` for the Shell
# driver; on exit the Shell in $shell_pid, the prefix's server and the Xvfb
# this run started are stopped. ORV_XVFB_SIZE=WxH runs on a display of that
# size; ORV_DPI=<dpi> sets the prefix's system DPI (96 unless given).
driver="$build/tools/shell-driver.exe"
prefix="$build/wineprefix-x11"
state="$build/xvfb-screenshots${ORV_XVFB_SIZE:+-$ORV_XVFB_SIZE}"
[ -f "$driver" ] || { echo "$(basename "$0"): no $driver (run ./scripts/build.sh)" >&2; exit 1; }

# One run at a time: the prefix's desktop belongs to one display.
mkdir -p "$build"
exec 8>"$prefix.run.lock"
flock 8

started_xvfb=0
[ -f "$state/pid" ] && kill -0 "$(cat "$state/pid")" 2>/dev/null || started_xvfb=1
DISPLAY=$("$here/xvfb-display.sh" start "$state")
export DISPLAY
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
"$here/wine-prefix-x11.sh" "$prefix"

shell_pid=
x11_session_cleanup() {
  if [ -n "$shell_pid" ] && kill -0 "$shell_pid" 2>/dev/null; then kill "$shell_pid" 2>/dev/null || true; fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ "$started_xvfb" = 1 ]; then "$here/xvfb-display.sh" stop "$state" || true; fi
}
trap x11_session_cleanup EXIT

# A server left from an earlier run may hold another display's desktop.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

# The system DPI Wine reports is the user's LogPixels, read when the
# prefix's server starts.
dpi=${ORV_DPI:-96}
if [ "$(cat "$prefix/orv-dpi" 2>/dev/null || echo 96)" != "$dpi" ]; then
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  echo "$dpi" >"$prefix/orv-dpi"
fi

drive() { wine "$driver" "$@" </dev/null 8>&-; }

# Now and then the prefix's first program after a fresh Xvfb finds a screen
# of 1024x768 instead of the Xvfb's size; a window then lays out for that
# screen. The server is started again until the screen is the one asked for.
wanted_screen=${ORV_XVFB_SIZE:-1600x1000}
for attempt in 1 2 3 4 5; do
  seen_screen=$(drive screen 2>/dev/null | tr -d '\r')
  [ "$seen_screen" = "$wanted_screen" ] && break
  echo "$(basename "$0"): Wine sees a ${seen_screen:-unknown} screen, not $wanted_screen; starting its server again" >&2
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  sleep 1
done
