# Sourced by the Wine test scripts and the Wine bench, which put virtual cards on the prefix's COM ports.
# Before sourcing, set: exe (the Windows test program, which must know the `stay-idle FLAG`
# scenario), card_binary (vek-virtual-card) and script (this test's name, for messages); and
# no_display=1 for a test that runs without a display.
# Provides: $devices, $work (a private folder, removed on exit), fail, absent_everywhere,
# start_card, stop_cards, run, frames_in, winpath, keep_prefix_up.
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
: "${exe:?}" "${card_binary:?}" "${script:?}"
devices=$WINEPREFIX/dosdevices
# A display, so that a card that is not found shows its message box; no_display=1 before sourcing
# runs without one.
[ -n "${DISPLAY:-}" ] || [ "${no_display:-0}" = 1 ] ||
  { echo "$script needs a display (run it through with_display.sh)" >&2; exit 1; }
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

# A Linux path as the Wine programs see it.
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# Every port absent: an empty folder opens as "access denied". Without these links Wine would
# open COMn as /dev/ttyS<n-1>, and COM1 here is a real UART.
absent_everywhere() {
  mkdir -p "$1"
  for n in $(seq 1 127); do ln -sfn "$1" "$devices/com$n"; done
}

# start_card PORT NAME [card options...]: a card on COMn, with its log, control FIFO and output
# in $work/NAME.{log,ctl,out}; waits until it has published its pty.
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

# run SCENARIO [args...]: one run of the test program; a run that hangs fails after run_bound
# seconds (default 120).
run() {
  echo "== $*"
  # The wineserver may print its object table when a pty closes: keep stderr apart.
  timeout "${run_bound:-120}" "${VEK_WINE:-wine}" "$exe" "$@" 2>"$work/wine.err" || { cat "$work/wine.err" >&2; fail "scenario $1"; }
}

frames_in() { grep -c ' valid$' "$1" 2>/dev/null || true; }

# Wine's mount manager re-creates com1 whenever the prefix's services start, which they do with
# the first Wine process: keep one running for the whole script, then relink.
keep_prefix_up() {
  touch "$work/idle.flag"
  "${VEK_WINE:-wine}" "$exe" stay-idle "$(winpath "$work/idle.flag")" 2>/dev/null &
  idle_pid=$!
  sleep 2
}
