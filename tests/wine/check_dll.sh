#!/bin/sh
# The DLL is 32-bit PE, exports DriverEntry by that name and nothing else, and imports only
# libraries that every Windows system has.
set -eu
objdump=$1
dll=$2
fail() { echo "$dll: $*" >&2; exit 1; }

headers=$("$objdump" -p "$dll")
echo "$headers" | grep -q 'file format pei-i386' || fail "not a 32-bit i386 PE file"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32"

exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
[ "$exports" = "DriverEntry" ] || fail "exports '$exports', expected only DriverEntry"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
for lib in $imports; do
  case "$lib" in
    kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll) ;;
    *) fail "imports $lib, which is not a Windows system library" ;;
  esac
done
echo "exports: $exports"
echo "imports:" $imports
