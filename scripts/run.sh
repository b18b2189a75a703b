#!/usr/bin/env bash
# From a fresh Debian machine: installs what is missing, builds the Windows DLL and the native
# library, and shows what each one is and exports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh linux windows

dll=build/windows/vek_driver.dll
so=build/linux/libvek_driver.so
echo
echo "Windows driver: $(realpath "$dll")"
echo "  $(i686-w64-mingw32-objdump -f "$dll" | sed -n 's/.*file format //p') ($(stat -c %s "$dll") bytes)"
echo "  exports:" $(i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
echo "  imports:" $(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
echo "Linux library:  $(realpath "$so")"
echo "  exports:" $(nm -D --defined-only "$so" | awk '{ print $NF }')
