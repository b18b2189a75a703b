#!/bin/sh
# A Windows file the zip ships, read natively with binutils' objdump (no Windows code runs): PE32
# for i386 (PE32+ for amd64 in the 64-bit test build), importing only libraries that every
# Windows system has, since nothing else is shipped with it. The DLL exports DriverEntry by that
# name and nothing else; vek-panel.exe is a console program, and a runtime DLL of the compiler's
# (libstdc++-6.dll, libwinpthread-1.dll) would be missing on the user's machine. The program
# also embeds a manifest that runs it as invoked: without one, Windows takes a console program
# for a legacy one and virtualises its writes under Program Files (where the host's settings file
# may live) into the user's own store.
# Usage: check_pe.sh OBJDUMP FILE [i386|amd64]
set -eu
objdump=$1
file=$2
machine=${3:-i386}
fail() { echo "$file: $*" >&2; exit 1; }

headers=$("$objdump" -p "$file")
case "$machine" in
  i386) format=pei-i386 magic=010b ;;
  amd64) format=pei-x86-64 magic=020b ;;
  *) fail "unknown machine $machine" ;;
esac
echo "$headers" | grep -q "file format $format" || fail "not a $format file"
echo "$headers" | grep -Eq "^Magic[[:space:]]+$magic" || fail "optional header magic is not $magic"

system="kernel32.dll user32.dll msvcrt.dll advapi32.dll"
case "$file" in
  *.exe)
    echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' || fail "not a console program"
    LC_ALL=C grep -aq 'level="asInvoker"' "$file" || fail "no manifest asking to run asInvoker"
    echo "manifest: asInvoker" ;;
  *)
    system="$system winmm.dll"
    exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p')
    [ "$exports" = "DriverEntry" ] || fail "exports '$exports', expected only DriverEntry"
    echo "exports: $exports" ;;
esac
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
for lib in $imports; do
  case " $system " in
    *" $lib "*) ;;
    *) fail "imports $lib, which is not a Windows system library" ;;
  esac
done
echo "imports:" $imports
