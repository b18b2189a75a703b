#!/usr/bin/env bash
# The Win32 serial backend under Wine: virtual cards on pseudo-terminals, linked into the test
# prefix as COM ports, and wine_link_test.exe running one scenario against them at a time.
# Usage: with_display.sh link_test.sh WINE_LINK_TEST_EXE VIRTUAL_CARD_BINARY
# Every Wine process here shares the display, so the no-card message box can be seen and closed.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
devices=$WINEPREFIX/dosdevices

# Every port absent: an empty folder opens as "access denied". Without these links Wine would
# open COMn as /dev/ttyS<n-1>, and COM1 here is a real UART.
absent_everywhere() {
  mkdir -p "$1"
  for n in $(seq 1 127); do ln -sfn "$1" "$devices/com$n"; done
}

exe=$1
card_binary=$2
[ -n "${DISPLAY:-}" ] || { echo "link_test.sh needs a display (run it through with_display.sh)" >&2; exit 1; }
work=$(mktemp -d)
card_pids=()
idle_pid=

cleanup() {
  for pid in "${card_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -f "$work/idle.flag"
  [ -n "$idle_pid" ] && wait "$idle_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# start_card PORT NAME [card options...]: a card on COMn; waits until it has published its pty.
start_card() {
  local port=$1 name=$2
  shift 2
  rm -f "$devices/com$port"
  "$card_binary" --link "$devices/com$port" --log "$work/$name.log" --control "$work/$name.ctl" "$@" \
    >"$work/$name.out" 2>&1 </dev/null &
  card_pids+=($!)
  for _ in $(seq 1 100); do
    grep -q -- '->' "$work/$name.out" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$work/$name.out" >&2
  fail "virtual card $name did not start"
}

stop_cards() {
  for pid in "${card_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  card_pids=()
}

run() {
  echo "== $*"
  # The wineserver may print its object table when a pty closes: keep stderr apart.
  wine "$exe" "$@" 2>"$work/wine.err" || { cat "$work/wine.err" >&2; fail "scenario $1"; }
}

frames_in() { grep -c ' valid$' "$1" 2>/dev/null || true; }

# Wine's mount manager re-creates com1 whenever the prefix's services start, which they do with
# the first Wine process: keep one running, then relink.
touch "$work/idle.flag"
wine "$exe" stay-idle "Z:${work//\//\\}\\idle.flag" 2>/dev/null &
idle_pid=$!
sleep 2

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

echo "every link scenario passed"
