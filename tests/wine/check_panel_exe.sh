#!/bin/sh
# vek-panel.exe is a console program for the build's machine (i386 for the shipped one) and,
# being shipped with the DLL alone, imports only libraries every Windows system has: a runtime
# DLL of the compiler's (libstdc++-6.dll, libwinpthread-1.dll) would be missing on the user's
# machine. Read natively with binutils' objdump.
# Usage: check_panel_exe.sh OBJDUMP EXE i386|amd64
set -eu
objdump=$1
exe=$2
machine=$3
fail() { echo "$exe: $*" >&2; exit 1; }

headers=$("$objdump" -p "$exe")
case "$machine" in
  i386) format=pei-i386 ;;
  amd64) format=pei-x86-64 ;;
  *) fail "unknown machine $machine" ;;
esac
echo "$headers" | grep -q "file format $format" || fail "not a $format file"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' || fail "not a console program"
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
for lib in $imports; do
  case "$lib" in
    kernel32.dll|user32.dll|msvcrt.dll|advapi32.dll) ;;
    *) fail "imports $lib, which is not a Windows system library" ;;
  esac
done
echo "imports:" $imports
