#!/usr/bin/env bash
# The real DLL polling under Wine: for each scenario a fresh virtual card on COM3, every other
# port absent, and wine_poll_test.exe driving the DLL against it. The program follows the card's
# frame log and drives the card through its FIFO; it prints the figures it measures.
# Usage: with_display.sh poll_test.sh WINE_POLL_TEST_EXE VIRTUAL_CARD_BINARY
# A display, so that a card that is not found shows its message box (which the program closes
# and counts) instead of failing without one.
set -euo pipefail
exe=$1
card_binary=$2
script=poll_test.sh
run_bound=60
. "$(dirname "$0")/card_ports.sh"
keep_prefix_up

# scenario NAME [card options...]: runs scenario NAME against a fresh card on COM3.
scenario() {
  local name=$1
  shift
  absent_everywhere "$work/absent"
  start_card 3 "$name" "$@"
  run "$name" "$(winpath "$work")" "$name"
  stop_cards
}

scenario cycle --exec "inputs FE 7F" --exec "analog 1 512" --exec "analog 2 1023"
scenario stop --exec "inputs FE 7F"
scenario reset --exec "inputs FE 7F"
scenario silent --exec "inputs FE 7F" --exec "analog 1 512" --exec "analog 2 1023"
scenario unplug --exec "inputs FE 7F"

echo "every polling scenario passed"
