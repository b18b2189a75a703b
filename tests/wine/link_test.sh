#!/usr/bin/env bash
# The Win32 serial backend under Wine: virtual cards on pseudo-terminals, linked into the test
# prefix as COM ports, and wine_link_test.exe running one scenario against them at a time.
# Usage: with_display.sh link_test.sh WINE_LINK_TEST_EXE VIRTUAL_CARD_BINARY
# Every Wine process here shares the display, so the no-card message box can be seen and closed.
set -euo pipefail
exe=$1
card_binary=$2
script=link_test.sh
. "$(dirname "$0")/../shared/card_ports.sh"
keep_prefix_up

# COM1 absent, COM2 silent, COM3 the card: found on COM3 after at most 100 frames to COM2.
absent_everywhere "$work/absent"
start_card 2 silent --exec "silent on"
start_card 3 card --exec "inputs FE 7F" --exec "analog 1 1023"
run discover 3 FE 7F
silent_frames=$(frames_in "$work/silent.log")
echo "silent COM2 received $silent_frames frames"
[ "$silent_frames" -ge 1 ] && [ "$silent_frames" -le 100 ] || fail "silent port received $silent_frames frames"
grep -qi '02 04 00 00 00 03 f8 valid' "$work/card.log" || fail "the card never received output 3 on"
stop_cards

# Garbage before each answer, answers split into single bytes 1 ms apart and 5 ms late: found.
absent_everywhere "$work/absent"
start_card 3 garbled --exec "garbage 5" --exec "split 1" --exec "delay 5" --exec "inputs F0 0F" \
  --exec "analog 1 1023"
run discover 3 F0 0F
stop_cards

# No card anywhere: the message box shows once, with its text, and the scan waits for the user.
absent_everywhere "$work/absent"
run no-card

# A card whose every answer is corrupt.
start_card 3 corrupt --exec "bad-sum on"
run corrupt 3
stop_cards

# The card is pulled after ten frames.
absent_everywhere "$work/absent"
start_card 3 pulled --exec "after 10 unplug"
run unplug 3
stop_cards

# An open port with nothing to do.
absent_everywhere "$work/absent"
start_card 3 idle
run idle-cpu 3
stop_cards

# The trace held by a reader without delete sharing as it fills: kept, written on, rotated later.
run trace-reader

echo "every link scenario passed"
