#!/usr/bin/env bash
# The real DLL's speed under Wine: virtual cards with wire time on the prefix's ports, every
# other port absent, and wine_bench.exe measuring against each setup. Prints a table and JSON.
# Usage: with_display.sh wine_bench.sh WINE_BENCH_EXE VIRTUAL_CARD_BINARY [quick] [JSON_FILE]
# WINEPREFIX must name an initialised prefix (scripts/bench.sh makes one).
set -euo pipefail
exe=$1
card_binary=$2
mode=${3:-full}
json=${4:-}
script=wine_bench.sh
run_bound=300
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/shared/card_ports.sh"
keep_prefix_up

figures=$work/figures.tsv
: >"$figures"
quick=; repeats=7; cpu_seconds=20; lost_seconds=40
[ "$mode" = quick ] && { quick=quick; repeats=1; cpu_seconds=2; lost_seconds=2; }

# The CPU time of this prefix's wineserver, in ms: each serial call under Wine is a request to
# it, so its time spent for the driver belongs to the driver's cost.
server_pid() {
  local name pid cwd
  name=server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for pid in $(pgrep wineserver || true); do
    cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null || true)
    if [ "${cwd##*/}" = "$name" ]; then echo "$pid"; return; fi
  done
}
server_cpu_ms() {
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat" 2>/dev/null || echo 0
}

absent_everywhere "$work/absent"
start_card 3 card --wire-time
run cycles "$(winpath "$work/card.log")" "$(winpath "$figures")" $quick
server=$(server_pid)
before=$(server_cpu_ms "$server"); t0=$(date +%s.%N)
run cpu "$(winpath "$work/card.log")" "$(winpath "$figures")" "$cpu_seconds"
after=$(server_cpu_ms "$server"); t1=$(date +%s.%N)
[ -n "$server" ] && awk -v a="$before" -v b="$after" -v t0="$t0" -v t1="$t1" 'BEGIN {
  printf "cpu\twineserver during the CPU run, share of one core\t%.4f\t%%\t%.0f ms in %.1f s, start and stop included\n",
         100 * (b - a) / ((t1 - t0) * 1000), b - a, t1 - t0 }' >>"$figures"
stop_cards

absent_everywhere "$work/absent"
start_card 3 changing --wire-time
run latency "$(winpath "$work/changing")" "$(winpath "$figures")" $quick
stop_cards

# The card pulled and plugged back while polling, then left out; and the trace's cost.
absent_everywhere "$work/absent"
# Unplugged, COM3 is absent like every other port, never a dangling link to a pty number that
# another program on the machine may be given (and answer the driver on).
start_card 3 pulled --wire-time --unplugged-link "$work/absent"
run replug "$(winpath "$work/pulled")" "$(winpath "$figures")" $quick
run lost "$(winpath "$work/pulled")" "$(winpath "$figures")" "$lost_seconds" "$(server_pid)" "$(getconf CLK_TCK)"
stop_cards
absent_everywhere "$work/absent"
start_card 3 traced --wire-time
run trace "$(winpath "$work/traced")" "$(winpath "$figures")" $quick
stop_cards
absent_everywhere "$work/absent"
start_card 3 framed --wire-time
run trace-frames "$(winpath "$work/framed")" "$(winpath "$figures")" $quick
stop_cards

absent_everywhere "$work/absent"
start_card 1 card1 --wire-time
run discover "card on COM1" "$(winpath "$figures")" "$repeats"
stop_cards

absent_everywhere "$work/absent"
start_card 2 silent --wire-time --exec "silent on"
start_card 3 card3 --wire-time
run discover "card on COM3, COM1 absent, COM2 silent" "$(winpath "$figures")" "$repeats"
stop_cards

# A port named in the settings is probed alone, whatever sits below it.
absent_everywhere "$work/absent"
start_card 1 silent1 --wire-time --exec "silent on"
start_card 2 silent2 --wire-time --exec "silent on"
start_card 3 named3 --wire-time
run discover "card on COM3 named by port=3, COM1 and COM2 silent" "$(winpath "$figures")" "$repeats" 3
run discover "card on COM3 by scan, COM1 and COM2 silent" "$(winpath "$figures")" "$repeats"
stop_cards

absent_everywhere "$work/absent"
start_card 127 card127 --wire-time
run discover "card on COM127, 126 ports absent" "$(winpath "$figures")" "$repeats"
stop_cards

args=(report "$(winpath "$figures")")
[ -n "$json" ] && args+=("$(winpath "$json")")
"${VEK_WINE:-wine}" "$exe" "${args[@]}" 2>/dev/null
