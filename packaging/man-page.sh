#!/usr/bin/env bash
# A tool's man page, written by hand in docs/man and configured with the version, gzipped
# without a name or a time inside, so that the page is the same in every build of a commit.
# Usage: man-page.sh PAGE OUTPUT.gz
set -euo pipefail
gzip -9n <"$1" >"$2.tmp"
mv "$2.tmp" "$2"
