#!/usr/bin/env bash
# The panel's live view in a real terminal: tmux runs it on its virtual card, keys switch an
# output and a card input, the screen shows the lamps, the card's log shows the frames, the help,
# an unknown key, a typed analog value, a resize, corrupt answers and a silent card are shown, and
# q leaves the card all off.
# usage: panel_live_test.sh PANEL
set -euo pipefail
panel=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/vek-panel-live-XXXXXX")
tmux=(tmux -S "$dir/tmux.sock" -f /dev/null)
cleanup() {
  "${tmux[@]}" kill-server 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- screen" >&2
  "${tmux[@]}" capture-pane -p -t panel >&2 2>/dev/null || true
  echo "--- card log (last lines)" >&2
  tail -5 "$dir/frames.log" >&2 2>/dev/null || true
  exit 1
}

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
  local label=$1 n=$2
  screen | awk -v label="$label" -v n="$n" 'index($0, label) == 1 { print substr($0, 15 + 4 * (n - 1), 3); exit }'
}
lamp_is() { [ "$(lamp "$1" "$2")" = "$3" ]; }
screen_has() { screen | grep -qF -- "$1"; }
log_has() { grep -qF -- "$1" "$dir/frames.log" 2>/dev/null; }

"${tmux[@]}" new-session -d -s panel -x 100 -y 30 \
  "'$panel' --settings '$dir/settings.ini' --card-log '$dir/frames.log' 2>'$dir/stderr'; echo \$? >'$dir/status'; sleep 60"

wait_for "the panel shows the card answering" screen_has "card answering"
screen_has "port COM1 -> virtual card" || fail "the port found is shown"

"${tmux[@]}" send-keys -t panel c
wait_for "output 3's switch lights" lamp_is Outputs 3 "[X]"
wait_for "the card receives output 3" log_has "02 04 00 00 00 03 F8 valid"
lamp_is Outputs 2 "[ ]" || fail "output 2 stays off"

"${tmux[@]}" send-keys -t panel E
wait_for "input 5's lamp lights once the card sends it" lamp_is Inputs 5 "[X]"
lamp_is Inputs 4 "[ ]" || fail "input 4 stays off"

"${tmux[@]}" send-keys -t panel ']' ']' '}'
wait_for "analog output 1 reads 18" screen_has "Analog out 1     18"
wait_for "the card receives analog output 1 at 18" log_has "02 04 00 12 00 03 E6 valid"

"${tmux[@]}" resize-window -t panel -x 50 -y 12
wait_for "a small terminal is told so" screen_has "Terminal too small: 50x12"
"${tmux[@]}" resize-window -t panel -x 100 -y 30
wait_for "the full view returns" lamp_is Outputs 3 "[X]"

screen_has "delay 50 ms" || fail "the delay in use is shown"
screen_has "? help" || fail "the footer offers the help"
"${tmux[@]}" send-keys -t panel '?'
wait_for "? shows every key" screen_has "type an analog value"
"${tmux[@]}" send-keys -t panel x
wait_for "any key closes the help" lamp_is Outputs 3 "[X]"
"${tmux[@]}" send-keys -t panel x
wait_for "an unknown key is told so" screen_has "'x' does nothing here; ? lists the keys"
"${tmux[@]}" send-keys -t panel =
"${tmux[@]}" send-keys -t panel -l "1 128"
"${tmux[@]}" send-keys -t panel Enter
wait_for "a typed analog value is set" screen_has "Analog out 1    128"
wait_for "the card receives analog output 1 at 128" log_has "02 04 00 80 00 03 78 valid"

"${tmux[@]}" send-keys -t panel :
"${tmux[@]}" send-keys -t panel -l "bad-sum on"
"${tmux[@]}" send-keys -t panel Enter
wait_for "corrupt answers are not silence" screen_has "CARD ANSWERS CORRUPT ("
"${tmux[@]}" send-keys -t panel :
"${tmux[@]}" send-keys -t panel -l "bad-sum off"
"${tmux[@]}" send-keys -t panel Enter
wait_for "the answering card is shown again" screen_has "card answering"

"${tmux[@]}" send-keys -t panel : 
"${tmux[@]}" send-keys -t panel -l "silent on"
"${tmux[@]}" send-keys -t panel Enter
wait_for "a silent card is shown" screen_has "CARD NOT ANSWERING"
lamp_is Inputs 5 "[X]" || fail "the inputs keep their last values"
wait_for "the old inputs are flagged with their age" screen_has "old (dim): no valid answer since"
"${tmux[@]}" send-keys -t panel : 
"${tmux[@]}" send-keys -t panel -l "silent off"
"${tmux[@]}" send-keys -t panel Enter
wait_for "the answering card is shown again" screen_has "card answering"

"${tmux[@]}" send-keys -t panel q
wait_for "the panel ends" test -s "$dir/status"
[ "$(cat "$dir/status")" = 0 ] || fail "exit status $(cat "$dir/status"): $(cat "$dir/stderr")"
last=$(tail -1 "$dir/frames.log")
case "$last" in
  *" 02 00 00 00 00 03 FC valid") ;;
  *) fail "the card's last frame is the all-off frame, not: $last" ;;
esac
grep -qF "the last frame to the card: 02 00 00 00 00 03 FC" "$dir/stderr" || fail "the panel says how it left the card"
echo "live view: output 3 and input 5 shown, analog 18 and typed 128 sent, help, unknown key, resize,"
echo "corrupt answers and silence shown, left all off"
