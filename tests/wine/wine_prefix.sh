#!/bin/sh
# Creates (or shuts down) the private Wine prefix named by WINEPREFIX for one test run.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
case "$1" in
  create)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    # wineboot prints its own progress on stderr; a failure shows in its exit status.
    "${VEK_WINE:-wine}" wineboot --init >"$WINEPREFIX.log" 2>&1 || { cat "$WINEPREFIX.log" >&2; exit 1; }
    wineserver -w
    echo "created $WINEPREFIX"
    ;;
  shutdown)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 create|shutdown" >&2
    exit 2
    ;;
esac
