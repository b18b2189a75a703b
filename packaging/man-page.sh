#!/usr/bin/env bash
# A tool's man page, made by help2man from its --help and --version, and gzipped without a name
# or a time inside: with SOURCE_DATE_EPOCH set (scripts/release.sh sets it), help2man dates the
# page from it, so the page is the same in every build of a commit.
# Usage: man-page.sh HELP2MAN TOOL "WHAT IT IS" OUTPUT.gz
set -euo pipefail
help2man=$1
tool=$2
what=$3
out=$4
LC_ALL=C "$help2man" --no-info --section=1 --name="$what" --output="$out.tmp" "$tool"
gzip -9n <"$out.tmp" >"$out"
rm -f "$out.tmp"
