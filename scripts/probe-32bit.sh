#!/usr/bin/env bash
# Can this machine run 32-bit x86 code? Some kernels have 32-bit execution switched off, and then
# no 32-bit program runs, 32-bit Wine included. The probe runs a 96-byte 32-bit Linux program that
# only exits with status 7. Only the kernel's refusal ("Exec format error") counts as "no": any
# other outcome counts as "yes", so that a broken Wine still fails its tests instead of hiding.
# VEK_ASSUME_NO_32BIT=1 forces "no", to exercise the fallback on a machine that can.
#
#   probe-32bit.sh           prints one line with the answer and how it was found;
#                            exits 0 for yes, 3 for no
#   probe-32bit.sh CMD...    runs CMD where the machine can; where it cannot, says why and exits
#                            77, which the Windows tests' ctest entries count as skipped
set -uo pipefail

answer=yes
how=
if [ "${VEK_ASSUME_NO_32BIT:-0}" = 1 ]; then
  answer=no
  how="forced by VEK_ASSUME_NO_32BIT=1"
else
  dir=$(mktemp -d)
  # ELF header, one loadable segment at 0x08048000, then: mov eax,1; mov ebx,7; int 0x80.
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\007\000\000\000\315\200' >"$dir/exit7"
  chmod +x "$dir/exit7"
  "$dir/exit7" 2>"$dir/err"
  status=$?
  if [ "$status" -eq 7 ]; then
    how="a 32-bit x86 program ran"
  elif grep -qi 'exec format error' "$dir/err"; then
    answer=no
    how="the kernel refused a 32-bit x86 program: Exec format error"
  else
    how="the 32-bit probe ended with status $status ($(head -c 200 "$dir/err" | tr '\n' ' ')), not a refusal: taken as yes"
  fi
  rm -rf "$dir"
fi

if [ $# -eq 0 ]; then
  echo "32-bit x86 code: $answer ($how)"
  [ "$answer" = yes ] && exit 0 || exit 3
fi
if [ "$answer" = no ]; then
  echo "not run: this machine cannot run 32-bit x86 code, so not 32-bit Wine either ($how)"
  exit 77
fi
exec "$@"
