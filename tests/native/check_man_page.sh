#!/usr/bin/env bash
# A tool's hand-written man page names every option its --help names, has the sections a user
# looks for, and (where groff is installed) renders without a warning.
# Usage: check_man_page.sh TOOL PAGE SECTION...
set -euo pipefail
tool=$1
page=$2
shift 2
text=$(sed 's/\\-/-/g' "$page")
status=0
# An option is a dash or two and a letter, not inside a word (wait-input is no option).
options=$("$tool" --help | grep -oE -- '(^|[^[:alnum:]-])--?[[:alpha:]][[:alnum:]-]*' |
  grep -oE -- '--?[[:alpha:]][[:alnum:]-]*' | sort -u)
for option in $options; do
  if ! grep -qE -- "(^|[^[:alnum:]-])${option}([^[:alnum:]-]|$)" <<<"$text"; then
    echo "$page: no $option, which $(basename "$tool") --help names" >&2
    status=1
  fi
done
for section in "$@"; do
  grep -qE "^\.SH \"?${section}\"?$" <<<"$text" || { echo "$page: no section $section" >&2; status=1; }
done
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$page: groff warns: $warnings" >&2; status=1; }
fi
[ $status -ne 0 ] || echo "$page names all $(wc -w <<<"$options") options of $(basename "$tool") --help"
exit $status
