#!/bin/sh
# Runs a command under a private virtual X display, for Wine's windows. Xvfb picks a free display
# number itself, and this script stops the Xvfb it started, and only that one, when done.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
work=$(mktemp -d)
xvfb_pid=
stop() {
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP

Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
# Xvfb writes the display number once it accepts clients: wait for that, for 30 s at most.
tries=0
until grep -q '^[0-9][0-9]*$' "$work/display" 2>/dev/null; do
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  sleep 0.1
done
DISPLAY=:$(cat "$work/display")
export DISPLAY

# A server still up from a run without a display keeps serving windows without one: end it.
wineserver -k 2>/dev/null || true
wineserver -w
# There is no window manager: Wine's windows must not wait for one.
"${VEK_WINE:-wine}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
status=0
"$@" || status=$?
# The prefix's processes hold the display open; end them before the display goes.
wineserver -k 2>/dev/null || true
exit "$status"
