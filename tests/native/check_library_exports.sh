#!/bin/sh
# The shared library's dynamic symbol table defines DriverEntry and nothing else.
set -eu
lib=$1
exports=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort)
if [ "$exports" != "DriverEntry" ]; then
  echo "expected only DriverEntry to be exported by $lib, found:" >&2
  echo "$exports" >&2
  exit 1
fi
echo "$lib exports: $exports"
