#!/bin/sh
# Runs a Windows test program under Wine, in the prefix the test run created.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
[ -d "$WINEPREFIX" ] || { echo "no Wine prefix at $WINEPREFIX" >&2; exit 1; }
exec "${VEK_WINE:-wine}" "$@"
