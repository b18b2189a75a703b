#!/usr/bin/env bash
# From a fresh Debian machine: installs what is missing, builds every flavour and runs every
# test: native, under AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer,
# short fuzzing runs (clang, libFuzzer) and the real 32-bit DLL under 32-bit Wine, and last the
# release: built twice and compared, its .deb installed into a scratch root and run, its DLL
# checked against the one the Windows tests ran. On a machine that cannot run 32-bit code the
# 32-bit Wine tests are skipped with the reason, and the same Win32 code built for x86_64 runs
# under 64-bit Wine instead (windows64).
#
# Only one Wine lane runs by default: the two prove the same Win32 code, and both together took
# the command past 12 minutes on a 2-core machine. VEK_BOTH_WINE_LANES=1 runs both.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
probe_status=0
probe=$(./scripts/probe-32bit.sh) || probe_status=$?
[ "$probe_status" -eq 0 ] || [ "$probe_status" -eq 3 ] || { echo "$probe" >&2; exit 1; }
echo "== $probe"
presets=(linux linux-asan linux-tsan linux-fuzz windows)
if [ "$probe_status" -eq 3 ] || [ "${VEK_BOTH_WINE_LANES:-0}" = 1 ]; then presets+=(windows64); fi
for preset in "${presets[@]}"; do
  ./scripts/build.sh "$preset"
  echo "== test $preset"
  if [ "$preset" = windows ] && [ "$probe_status" -eq 3 ]; then
    # Verbose, so that each skipped test shows its reason in ctest's own output.
    ctest --preset "$preset" --verbose
  else
    ctest --preset "$preset"
  fi
done
echo "== test release"
tests/release/release_test.sh
echo "== every test passed"
echo "== $probe"
if [ "$probe_status" -eq 3 ]; then
  echo "== not run: the shipped 32-bit DLL under 32-bit Wine (host boundary, dialog, serial link, polling)"
  echo "== ran instead: the same Win32 code under 64-bit Wine (windows64), and the 32-bit DLL's file checked natively"
elif [ "${VEK_BOTH_WINE_LANES:-0}" != 1 ]; then
  echo "== not run: the windows64 lane (the same Win32 code built for x86_64, under 64-bit Wine), since the"
  echo "   shipped 32-bit DLL ran under 32-bit Wine here; VEK_BOTH_WINE_LANES=1 runs it too"
fi
