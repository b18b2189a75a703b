#!/usr/bin/env bash
# vek-panel.exe's live view under Wine, run as a user runs it with the real DLL beside it, on
# Wine's console in a terminal tmux keeps: a fresh virtual card on COM3, every other port absent.
# The view shows its frame, the port and the card's inputs, c switches output 3 on the card, and
# q stops the driver, leaving the card all off, and exits 0.
# Usage: panel_live_test.sh VEK_PANEL_EXE IDLE_EXE VIRTUAL_CARD_BINARY
# IDLE_EXE knows `stay-idle FLAG` (wine_story_test.exe): it keeps the prefix's services up. Run
# without a display: the driver's "no card" message box then fails at once.
set -euo pipefail
panel=$1
exe=$2
card_binary=$3
script=panel_live_test.sh
no_display=1
. "$(dirname "$0")/../shared/card_ports.sh"
keep_prefix_up

absent_everywhere "$work/absent"
start_card 3 live --exec "inputs FE 7F"
tmux=(tmux -S "$work/tmux.sock" -f /dev/null)
trap '"${tmux[@]}" kill-server 2>/dev/null || true; cleanup' EXIT
screen() { "${tmux[@]}" capture-pane -p -t panel; }
# Waits, at most 15 s (a bound on a hang), until the command succeeds.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 150); do "$@" && return 0; sleep 0.1; done
  screen >&2
  fail "live: $what"
}
screen_has() { screen | grep -qF -- "$1"; }
log_has() { grep -qF -- "$1" "$work/live.log"; }

"${tmux[@]}" new-session -d -s panel -x 100 -y 30 \
  "'${VEK_WINE:-wine}' '$panel' --settings '$(winpath "$work/settings.ini")' --port 3 2>'$work/live.err'; echo \$? >'$work/live.status'; sleep 60"
wait_for "the view shows its title and the port" screen_has "Vek panel   port COM3"
wait_for "the inputs the card sends light" screen_has "Inputs        [X] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [X]"
wait_for "the key line is drawn, without the virtual card's keys" screen_has "s settings   R restart driver   ? help   q quit"
"${tmux[@]}" send-keys -t panel c
wait_for "output 3's switch lights" screen_has "Outputs       [ ] [ ] [X] [ ]"
wait_for "the card receives output 3" log_has "02 04 00 00 00 03 F8 valid"
screen >"$work/live.screen"
"${tmux[@]}" send-keys -t panel q
wait_for "q ends the panel" test -s "$work/live.status"
[ "$(cat "$work/live.status")" = 0 ] || { cat "$work/live.err" >&2; fail "live: q ended the panel with status $(cat "$work/live.status")"; }
last=$(grep ' valid$' "$work/live.log" | tail -n 1 | cut -d ' ' -f 2-8)
[ "$last" = "02 00 00 00 00 03 FC" ] || fail "live: the card's last frame is '$last', not the all-off frame"
echo "the live view as drawn:"
cat "$work/live.screen"
