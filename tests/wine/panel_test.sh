#!/usr/bin/env bash
# vek-panel.exe under Wine, run as a user runs it, with the real DLL beside it: for each row a
# fresh virtual card on COM3, every other port absent. The scripted rows check the JSON lines,
# the exit statuses and the card's frames; the live row runs the view on Wine's console in tmux,
# switches output 3 with its key and quits with q.
# Usage: panel_test.sh VEK_PANEL_EXE IDLE_EXE VIRTUAL_CARD_BINARY [ROW...]
# IDLE_EXE knows `stay-idle FLAG` (wine_poll_test.exe): it keeps the prefix's services up. Without
# rows, the scripted rows. Run without a display: the driver's "no card" message box then fails
# at once instead of waiting for a click.
set -euo pipefail
panel=$1
exe=$2
card_binary=$3
rows=("${@:4}")
[ ${#rows[@]} -gt 0 ] || rows=(port scan wait-failed no-card refused)
script=panel_test.sh
no_display=1
. "$(dirname "$0")/card_ports.sh"
keep_prefix_up

all_off="02 00 00 00 00 03 FC"
settings=$work/settings.ini

# panel NAME [options...]: one run of the panel, its JSON lines in $work/NAME.json, its standard
# error in $work/NAME.err and its exit status in $status. A run that hangs fails after 60 s.
panel() {
  local name=$1
  shift
  echo "== $name: vek-panel $*"
  status=0
  timeout 60 "${VEK_WINE:-wine}" "$panel" "$@" >"$work/$name.json" 2>"$work/$name.err" </dev/null || status=$?
  [ "$status" -ne 124 ] || fail "$name: the panel hung"
  cat "$work/$name.json"
}

expect_status() {
  [ "$status" -eq "$2" ] || { cat "$work/$1.err" >&2; fail "$1: exit status $status, expected $2"; }
}
json_has() { grep -qF -- "$2" "$work/$1.json" || fail "$1: no JSON line has $2"; }
err_has() { grep -qF -- "$2" "$work/$1.err" || { cat "$work/$1.err" >&2; fail "$1: standard error does not say $2"; }; }
card_took() { grep -qF -- "$2 valid" "$work/$1.log" || fail "$1: the card never received $2"; }
last_frame_all_off() {
  local last
  last=$(grep ' valid$' "$work/$1.log" | tail -n 1 | cut -d ' ' -f 2-8)
  [ "$last" = "$all_off" ] || fail "$1: the card's last frame is '$last', not the all-off frame"
}

row_port() {
  # --port 3 writes port=3 into the instance's section, so the driver probes COM3 alone: the
  # port is known, and the absent ports are never tried.
  absent_everywhere "$work/absent"
  start_card 3 port --exec "inputs FE 7F" --exec "analog 1 512"
  panel port --settings "$(winpath "$settings")" --port 3 \
    --do "output 3 on" --do "wait-input 1 on 2000" --do "analog 2 128" --do "wait 300" --do read \
    --do reset --do restart --do read
  expect_status port 0
  json_has port '{"event":"started","port":"COM3",'
  json_has port '"virtual_card":false'
  json_has port '"inputs":[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1],"volts":[2.502,0.000],"outputs":[0,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0],"analog_out":[0,128],"port":"COM3"'
  json_has port '"action":"reset","outputs_reset":true'
  json_has port '"action":"restart","started":true,"port":"COM3"'
  json_has port '"outputs":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],"analog_out":[0,0],"port":"COM3"'
  json_has port '{"event":"stopped","port":"COM3",'
  card_took port "02 04 00 00 00 03 F8"
  card_took port "02 04 00 00 80 03 78"
  last_frame_all_off port
  tr -d '\r' <"$settings" | grep -qx 'port=3' || fail "port: the settings file has no port=3: $(cat "$settings")"
  stop_cards
}

row_scan() {
  # Without --port, and a settings file that names no port, the driver scans COM1 onwards as
  # under the host and finds the card on COM3. Wine names no COM port behind a handle, so the
  # port may not be known; on Windows it is.
  absent_everywhere "$work/absent"
  start_card 3 scan --exec "inputs FE 7F"
  panel scan --settings "$(winpath "$work/scan.ini")" --do "output 16 on" --do "wait-input 16 on 2000" --do "wait 300"
  expect_status scan 0
  grep -Eq '^\{"event":"started","port":"(COM3)?",' "$work/scan.json" || fail "scan: the started line names another port"
  card_took scan "02 00 80 00 00 03 7C"
  last_frame_all_off scan
  [ ! -e "$work/scan.ini" ] || ! grep -q '^port' "$work/scan.ini" || fail "scan: the panel wrote a port key"
  stop_cards
}

row_wait-failed() {
  absent_everywhere "$work/absent"
  start_card 3 wait-failed
  panel wait-failed --settings "$(winpath "$settings")" --port 3 --do "wait-input 2 on 300"
  expect_status wait-failed 4
  json_has wait-failed '{"event":"wait-failed",'
  last_frame_all_off wait-failed
  stop_cards
}

row_no-card() {
  # Every port absent: the scan finds nothing (the driver's message box cannot show without a
  # display), and the panel says so and exits 3; with --port, it names the port it probed.
  absent_everywhere "$work/absent"
  panel no-card --settings "$(winpath "$work/no-card.ini")" --do read
  expect_status no-card 3
  json_has no-card '{"event":"start-failed","status":3,'
  err_has no-card "no card answered on COM1 to COM127"
  panel no-card-port --settings "$(winpath "$settings")" --port 5 --do read
  expect_status no-card-port 3
  err_has no-card-port "no card answered on COM5"
}

row_refused() {
  # What the Windows panel does not have is refused before anything starts.
  local option
  for option in "--device /dev/ttyS0" "--ports $(winpath "$work")" "--card-log $(winpath "$work/x.log")" "--no-wire-time"; do
    # shellcheck disable=SC2086
    panel refused $option --do read
    expect_status refused 2
    err_has refused "${option%% *} is not available on Windows"
  done
  for port in 0 256 x3; do
    panel refused --port "$port" --do read
    expect_status refused 2
    err_has refused "--port takes a COM port number from 1 to 255"
  done
  panel refused --do "output 17 on"
  expect_status refused 2
  # A settings file that cannot be written cannot take the port.
  panel unwritable --settings "$(winpath "$work/no-folder/settings.ini")" --port 3 --do read
  expect_status unwritable 1
  err_has unwritable "cannot write port=3 into"
  # The live view needs the console; with standard input a file, it says to script instead.
  panel no-console --settings "$(winpath "$settings")"
  expect_status no-console 2
  err_has no-console "the live view needs a terminal; for scripts use --do or --script"
  panel no-driver --driver "$(winpath "$work/missing.dll")" --do read
  expect_status no-driver 1
  err_has no-driver "cannot load the driver"
  # A card command needs the virtual card, which the Windows panel has not.
  absent_everywhere "$work/absent"
  start_card 3 card-command
  panel card-command --settings "$(winpath "$settings")" --port 3 --do "card input 3 on"
  expect_status card-command 2
  err_has card-command "card commands need the virtual card"
  # Refused before anything starts: the card never hears from the driver.
  ! grep -q ' valid$' "$work/card-command.log" || fail "card-command: the card received frames of a refused script"
  stop_cards
}

# The live view on Wine's console, in a terminal tmux keeps: it shows its frame and the port,
# c switches output 3 on the card, q stops the driver (the card is left all off) and exits 0.
row_live() {
  absent_everywhere "$work/absent"
  start_card 3 live --exec "inputs FE 7F"
  local tmux=(tmux -S "$work/tmux.sock" -f /dev/null)
  screen() { "${tmux[@]}" capture-pane -p -t panel; }
  wait_screen() {
    for _ in $(seq 150); do
      screen | grep -qF -- "$2" && return 0
      sleep 0.1
    done
    screen >&2
    "${tmux[@]}" kill-server 2>/dev/null || true
    fail "live: $1"
  }
  "${tmux[@]}" new-session -d -s panel -x 100 -y 30 \
    "'${VEK_WINE:-wine}' '$panel' --settings '$(winpath "$settings")' --port 3 2>'$work/live.err'; echo \$? >'$work/live.status'; sleep 60"
  wait_screen "the view shows its title and the port" "Vek panel   port COM3"
  wait_screen "the inputs the card sends light" "Inputs        [X] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [ ] [X]"
  wait_screen "the key line is drawn, without the virtual card's keys" "s settings   R restart driver   ? help   q quit"
  "${tmux[@]}" send-keys -t panel c
  wait_screen "output 3's switch lights" "Outputs       [ ] [ ] [X] [ ]"
  for _ in $(seq 50); do grep -qF "02 04 00 00 00 03 F8 valid" "$work/live.log" && break; sleep 0.1; done
  card_took live "02 04 00 00 00 03 F8"
  screen >"$work/live.screen"
  "${tmux[@]}" send-keys -t panel q
  for _ in $(seq 100); do [ -s "$work/live.status" ] && break; sleep 0.1; done
  "${tmux[@]}" kill-server 2>/dev/null || true
  [ "$(cat "$work/live.status" 2>/dev/null)" = 0 ] || { cat "$work/live.err" >&2; fail "live: q did not end the panel with status 0"; }
  last_frame_all_off live
  echo "the live view as drawn:"
  cat "$work/live.screen"
  stop_cards
}

for row in "${rows[@]}"; do
  "row_$row"
done
echo "every panel row passed: ${rows[*]}"
