#!/usr/bin/env bash
# From a fresh Debian machine: installs what is missing, builds every flavour and runs every
# test: native, under AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer,
# short fuzzing runs (clang, libFuzzer), and the real 32-bit DLL under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in linux linux-asan linux-tsan linux-fuzz windows; do
  ./scripts/build.sh "$preset"
  echo "== test $preset"
  ctest --preset "$preset"
done
echo "== every test passed"
