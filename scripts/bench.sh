#!/usr/bin/env bash
# Builds and runs the benchmarks: the native library on Linux and, with --wine, the 32-bit DLL
# under Wine (in a prefix of its own, build/bench/wineprefix). Each prints a table and JSON; the
# JSON is also saved in build/bench/. Figures only: nothing here passes or fails on time.
# Usage: scripts/bench.sh [--quick] [--wine]
#   --quick  a few cycles of each kind, to check that the benches run (seconds, not minutes)
#   --wine   also the DLL under Wine, plain and under the legacy and current Windows models
#            (about four minutes more)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=
wine=
for arg in "$@"; do
  case $arg in
    --quick) quick=--quick ;;
    --wine) wine=1 ;;
    *) echo "usage: $0 [--quick] [--wine]" >&2; exit 2 ;;
  esac
done
mkdir -p build/bench

./scripts/build.sh linux
echo "== bench linux"
build/linux/bench/vek-bench $quick --json build/bench/linux.json

if [ -n "$wine" ]; then
  ./scripts/build.sh windows
  export WINEPREFIX=$PWD/build/bench/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$WINEPREFIX/system.reg" ] || tests/wine/wine_prefix.sh create
  # Plain Wine, then Wine behaving as Windows 7 / 8.1 and as Windows 10 2004+ / 11 would.
  for model in none legacy current; do
    echo "== bench wine, Windows model $model"
    # The prefix's server prints its whole object table when a pseudo-terminal closes: to a log.
    # Each run ends it, so each starts its own.
    wineserver -p 2>>build/bench/wineserver.log
    json=build/bench/wine.json
    [ "$model" = none ] || json=build/bench/wine-$model.json
    VEK_WINDOWS_MODEL=$model tests/wine/with_display.sh bench/wine_bench.sh build/windows/wine_bench.exe \
      build/windows/native_virtual_card/vek-virtual-card "${quick:+quick}" "$PWD/$json"
  done
  wineserver -k 2>/dev/null || true
fi
echo "== JSON in build/bench/"

