#!/bin/sh
# The DLL is PE32 for i386 (PE32+ for amd64 in the 64-bit test build), exports DriverEntry by
# that name and nothing else, and imports only libraries that every Windows system has. It reads
# the file with binutils' objdump, natively: no Windows code runs.
# Usage: check_dll.sh OBJDUMP DLL i386|amd64
set -eu
objdump=$1
dll=$2
machine=${3:-i386}
fail() { echo "$dll: $*" >&2; exit 1; }

headers=$("$objdump" -p "$dll")
case "$machine" in
  i386) format=pei-i386 magic=010b ;;
  amd64) format=pei-x86-64 magic=020b ;;
  *) fail "unknown machine $machine" ;;
esac
echo "$headers" | grep -q "file format $format" || fail "not a $format file"
echo "$headers" | grep -Eq "^Magic[[:space:]]+$magic" || fail "optional header magic is not $magic"

exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
[ "$exports" = "DriverEntry" ] || fail "exports '$exports', expected only DriverEntry"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
for lib in $imports; do
  case "$lib" in
    kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll|winmm.dll) ;;
    *) fail "imports $lib, which is not a Windows system library" ;;
  esac
done
echo "exports: $exports"
echo "imports:" $imports
