#!/usr/bin/env bash
# Installs what is missing, builds the Windows DLL and the native library, and shows what each
# one is, exports and imports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh linux windows

dll=build/windows/vek_driver.dll
so=build/linux/libvek_driver.so
echo
echo "Windows driver: $(realpath "$dll") ($(stat -c %s "$dll") bytes)"
tests/wine/check_pe.sh i686-w64-mingw32-objdump "$dll" | sed 's/^/  /'
echo "Linux library:  $(realpath "$so")"
echo "  exports:" $(nm -D --defined-only "$so" | awk '{ print $NF }')
