#!/usr/bin/env bash
# The real DLL polling under Wine: for each row a fresh virtual card on COM3, every other port
# absent, and wine_poll_test.exe driving the DLL against it. The program follows the card's
# frame log and drives the card through its FIFO; it prints the figures it measures. It installs
# the Windows model that VEK_WINDOWS_MODEL names (none, legacy, current: see windows_model.h).
# Usage: with_display.sh poll_test.sh WINE_POLL_TEST_EXE VIRTUAL_CARD_BINARY [ROW...]
# Without rows, the polling rows. The fault rows each switch on one fault of the model.
# A display, so that a card that is not found shows its message box (which the program closes
# and counts) instead of failing without one.
set -euo pipefail
exe=$1
card_binary=$2
rows=("${@:3}")
[ ${#rows[@]} -gt 0 ] || rows=(cycle stop reset silent unplug found unload exit-polling)
script=poll_test.sh
run_bound=60
. "$(dirname "$0")/card_ports.sh"
keep_prefix_up

# scenario NAME [card options...]: runs scenario NAME against a fresh card on COM3, with a silent
# card on COM$silent_port first when that is set.
scenario() {
  local name=$1
  shift
  absent_everywhere "$work/absent"
  [ -z "$silent_port" ] || start_card "$silent_port" "$name-silent" --exec "silent on"
  start_card 3 "$name" "$@"
  run "$name" "$(winpath "$work")" "$name"
  case $name in unload | exit-polling) last_frame_all_off "$name" ;; esac
  stop_cards
}

# The rows that end with the DLL polling: once the process is gone, the last frame the card took
# must be the all-off frame (the card logs it as it takes it).
last_frame_all_off() {
  local last=
  for _ in $(seq 1 50); do
    last=$(grep ' valid$' "$work/$1.log" | tail -n 1 | cut -d ' ' -f 2-8)
    [ "$last" = "02 00 00 00 00 03 FC" ] && return 0
    sleep 0.1
  done
  fail "$1: the card's last frame after the process ended is '$last', not the all-off frame"
}

analog=(--exec "analog 1 512" --exec "analog 2 1023")
for row in "${rows[@]}"; do
  silent_port=
  case $row in
    cycle | silent) scenario "$row" --exec "inputs FE 7F" "${analog[@]}" ;;
    # Start's time is then a silent port's probes.
    found) silent_port=2; scenario "$row" --exec "inputs FE 7F" ;;
    *) scenario "$row" --exec "inputs FE 7F" ;;
  esac
done

echo "every row passed: ${rows[*]}"
