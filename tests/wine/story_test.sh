#!/usr/bin/env bash
# Stories of a tests/stories file under Wine, each in a fresh setting: every COM port absent but
# those the story gives a card, each a fresh virtual card, and wine_story_test.exe telling the
# story against them with the Windows model VEK_WINDOWS_MODEL names (windows_model.h).
# Usage: [with_display.sh] story_test.sh WINE_STORY_TEST_EXE VIRTUAL_CARD_BINARY STORIES NAME...
# With a display the driver's message boxes show, and the program reads and closes them; without
# one they fail at once.
set -euo pipefail
exe=$1
card_binary=$2
stories=$3
names=("${@:4}")
script=story_test.sh
no_display=1
run_bound=120
. "$(dirname "$0")/../shared/card_ports.sh"
keep_prefix_up

# The ports on the story's "cards" line.
ports_of() {
  awk -v story="story $1:" '$1 " " $2 == story { found = 1; next }
    found && $1 == "story" { exit }
    found && $1 == "cards" { for (i = 2; i <= NF; i++) print substr($i, 4) }' "$stories"
}

for name in "${names[@]}"; do
  absent_everywhere "$work/absent"
  mkdir -p "$work/$name"
  # Not comN.*: Windows takes COM1 to COM9 with any extension for the port.
  for port in $(ports_of "$name"); do start_card "$port" "$name/card$port"; done
  run "$name" "$(winpath "$stories")" "$(winpath "$work/$name")"
  stop_cards
done
echo "every story held: ${names[*]}"
