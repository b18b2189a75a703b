#!/usr/bin/env bash
# The panel's live view in a real terminal, as a user has it: tmux runs it, keys are typed, the
# lamps are read back from the screen and the card's log shows the frames. c switches output 3,
# typed and stepped analog values reach the card, the help, an unknown key and a resize are
# shown, a card input lights its lamp, corrupt answers and a silent card are told apart with the
# old inputs flagged, and q leaves the card all off. Told once and run twice:
#   panel_live.sh PANEL                             natively, on the panel's own virtual card
#                                                   (its input switched with E, commands typed after :)
#   panel_live.sh --wine PANEL_EXE IDLE_EXE CARD    vek-panel.exe under Wine on a virtual card on
#                                                   COM3, every other port absent, the card
#                                                   driven through its FIFO; IDLE_EXE keeps the
#                                                   prefix up (wine_story_test.exe)
set -euo pipefail
if [ "${1:-}" = --wine ]; then
  runner=wine panel=$2 exe=$3 card_binary=$4 script=panel_live.sh no_display=1
  . "$(dirname "$0")/../shared/card_ports.sh"
  keep_prefix_up
  absent_everywhere "$work/absent"
  start_card 3 live
  dir=$work log=$work/live.log
  view="'${VEK_WINE:-wine}' '$panel' --settings '$(winpath "$dir/settings.ini")' --port 3"
  title="Vek panel   port COM3"
  footer="s settings   R restart driver   0 counters   t traffic   ? help   q quit"  # without the virtual card's keys
  stopped="vek-panel: driver stopped"  # the line of a COM port is seen through the driver's trace
  card() { echo "$1" >"$work/live.ctl"; }
  card_input_5() { card "input 5 on"; }
else
  runner=native panel=$1
  dir=$(mktemp -d "${TMPDIR:-/tmp}/vek-panel-live-XXXXXX") log=$dir/frames.log
  cleanup() { rm -rf "$dir"; }
  view="'$panel' --settings '$dir/settings.ini' --card-log '$log'"
  title="port COM1 -> virtual card"
  footer="s settings  R restart  : card command  0 counters  t traffic  ? help  q quit"
  stopped="vek-panel: driver stopped; the last frame to the card: 02 00 00 00 00 03 FC"
  card() { keys :; "${tmux[@]}" send-keys -t panel -l "$1"; keys Enter; }
  card_input_5() { keys E; }
fi
tmux=(tmux -S "$dir/tmux.sock" -f /dev/null)
trap '"${tmux[@]}" kill-server 2>/dev/null || true; cleanup' EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- screen" >&2
  "${tmux[@]}" capture-pane -p -t panel >&2 2>/dev/null || true
  echo "--- card log (last lines)" >&2
  tail -5 "$log" >&2 2>/dev/null || true
  exit 1
}
keys() { "${tmux[@]}" send-keys -t panel "$@"; }
screen() { "${tmux[@]}" capture-pane -p -t panel; }
# Waits, at most 15 s (a bound on a hang, not a measurement), until the command succeeds.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 150); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "$what"
}
# The lamp of channel n (1-16) on the screen's line starting with label: "[X]" or "[ ]".
lamp() {
  screen | awk -v label="$1" -v n="$2" 'index($0, label) == 1 { print substr($0, 15 + 4 * (n - 1), 3); exit }'
}
lamp_is() { [ "$(lamp "$1" "$2")" = "$3" ]; }
screen_has() { screen | grep -qF -- "$1"; }
log_has() { grep -qF -- "$1" "$log" 2>/dev/null; }

"${tmux[@]}" new-session -d -s panel -x 100 -y 30 "$view 2>'$dir/stderr'; echo \$? >'$dir/status'; sleep 60"
wait_for "the panel shows the card answering" screen_has "card answering"
screen_has "$title" || fail "the port found is shown"
screen_has "delay 50 ms" || fail "the delay in use is shown"

keys c
wait_for "output 3's switch lights" lamp_is Outputs 3 "[X]"
wait_for "the card receives output 3" log_has "02 04 00 00 00 03 F8 valid"
lamp_is Outputs 2 "[ ]" || fail "output 2 stays off"

card_input_5
wait_for "input 5's lamp lights once the card sends it" lamp_is Inputs 5 "[X]"
lamp_is Inputs 4 "[ ]" || fail "input 4 stays off"

keys ']' ']' '}'
wait_for "analog output 1 reads 18" screen_has "Analog out 1     18"
wait_for "the card receives analog output 1 at 18" log_has "02 04 00 12 00 03 E6 valid"

# Wine's console does not follow a resize of the terminal it runs in.
if [ "$runner" = native ]; then
  "${tmux[@]}" resize-window -t panel -x 50 -y 12
  wait_for "a small terminal is told so" screen_has "Terminal too small: 50x12"
  "${tmux[@]}" resize-window -t panel -x 100 -y 30
  wait_for "the full view returns" lamp_is Outputs 3 "[X]"
fi

screen_has "$footer" || fail "the footer offers the keys that work with this card, the help among them"
keys '?'
wait_for "? shows every key" screen_has "type an analog value"
keys x
wait_for "any key closes the help" lamp_is Outputs 3 "[X]"
keys x
wait_for "an unknown key is told so" screen_has "'x' does nothing here; ? lists the keys"
keys =
"${tmux[@]}" send-keys -t panel -l "1 128"
keys Enter
wait_for "a typed analog value is set" screen_has "Analog out 1    128"
wait_for "the card receives analog output 1 at 128" log_has "02 04 00 80 00 03 78 valid"

card "bad-sum on"
wait_for "corrupt answers are not silence" screen_has "CARD ANSWERS CORRUPT ("
if [ "$runner" = native ]; then
  # On the panel's own line the bytes are seen: the newest corrupt answer in hex, the traffic.
  wait_for "the corrupt answer is shown in hex" screen_has "Corrupt answer  12 EF FF 00 00 00 00 13 "
  keys t
  wait_for "t shows the traffic pane" screen_has "Traffic, newest last"
  wait_for "the pane has the frames each way" screen_has " tx 02 04 00 80 00 03 78        outputs 3 on"
  screen | grep -qE " rx 12 EF FF 00 00 00 00 13 ..  bad checksum" || fail "the pane tells what is wrong with an answer"
  keys t
  wait_for "t hides the pane again" screen_has "Analog out 1    128"
fi
card "bad-sum off"
wait_for "the answering card is shown again" screen_has "card answering"
keys 0
wait_for "0 resets the counters" screen_has "counters reset:"
if [ "$runner" = native ]; then
  wait_for "the reset forgets the corrupt answer" screen_has "stray: bytes from the card outside any frame"
  screen_has "bad sum 0   bad end 0" || fail "the corrupt answers were counted from 0 again"
fi
card "silent on"
wait_for "a silent card is shown" screen_has "CARD NOT ANSWERING"
unanswered_counted() { screen | grep -qE "unanswered [1-9]"; }
[ "$runner" = native ] && wait_for "the frames it leaves unanswered are counted" unanswered_counted
lamp_is Inputs 5 "[X]" || fail "the inputs keep their last values"
wait_for "the old inputs are flagged with their age" screen_has "old (dim): no valid answer since"
card "silent off"
wait_for "the answering card is shown again" screen_has "card answering"
screen >"$dir/screen"

# A slow poll is not a quiet driver, nor is a lowered delay's first cycle: at 5000 ms the driver
# sends a frame every 5 s; lowered to 50 ms it first sleeps out the 5 s it had begun. The delay
# dialog is the terminal's here (under Wine it is a Windows dialog box).
no_quiet_driver_for() {
  for _ in $(seq "$1"); do
    if screen_has "NO FRAME FROM THE DRIVER"; then fail "$2"; fi
    sleep 0.1
  done
}
set_delay() {
  keys s
  wait_for "the delay dialog opens" screen_has "Enter: OK"
  "${tmux[@]}" send-keys -t panel -l "$1"
  keys Enter
  wait_for "the delay $1 is saved" screen_has "settings: delay $1 ms saved"
}
if [ "$runner" = native ]; then
  set_delay 5000
  no_quiet_driver_for 70 "a poll every 5 s is shown as a driver that sends nothing"
  screen_has "one frame every 5." || fail "a poll slower than a second is shown as its cycle"
  set_delay 50
  no_quiet_driver_for 40 "the delay lowered to 50 ms is shown as a driver that sends nothing"
  wait_for "the card answers at 50 ms" screen_has "card answering"
fi

keys q
wait_for "the panel ends" test -s "$dir/status"
[ "$(cat "$dir/status")" = 0 ] || fail "exit status $(cat "$dir/status"): $(cat "$dir/stderr")"
last=$(grep ' valid$' "$log" | tail -n 1)
case "$last" in
  *" 02 00 00 00 00 03 FC valid") ;;
  *) fail "the card's last frame is the all-off frame, not: $last" ;;
esac
grep -qF "$stopped" "$dir/stderr" || fail "the panel says how it left the card: $(cat "$dir/stderr")"
echo "the live view as drawn:"
cat "$dir/screen"
