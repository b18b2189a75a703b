// The panel's scripted mode: a list of actions run against the driver, each observation printed
// as one JSON line, for automation and tests.
//
//   output <1-16> on|off        switch one output
//   outputs <hex>               all sixteen at once, bit k = output k+1 (0 = all off)
//   analog <1|2> <0-255>        one analog output
//   wait <ms>                   keep the host's cycle going for this long
//   read                        one reading: inputs, volts, outputs and the line's counts
//   wait-input <1-16> on|off <ms>   until a reading shows the input so, at most ms; then a read
//   reset                       DRV_RESET_OUTPUTS (the panel's outputs follow it to off)
//   restart                     DRV_STOP, then DRV_START: a new scan, as after a pulled cable
//   card <command>              a virtual card command, such as "card input 3 on"
//   check-analog-in <1|2> <min> <max>   the analog input now, in volts, within min to max
//   check-line <state>          the line's state now is this one (answering, silent, ...)
//   label <text>                carried in every event until the next label
//   reset-counters              every line counter and the longest answer time from 0
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "panel/session/panel_session.h"

namespace vek::panel {

struct ScriptAction {
    enum class Kind {
        output, outputs, analog, wait, read, wait_input, reset, restart, card, check_analog_in, check_line, label,
        reset_counters
    };
    Kind kind = Kind::read;
    unsigned index = 0;      // output, analog or input number, from 1
    bool on = false;
    uint32_t value = 0;      // outputs mask, analog value, or milliseconds
    std::string text;        // the line as written
    std::string command;     // for card: the virtual card's command; for label: its text
    double low = 0.0;        // check-analog-in: volts from...
    double high = 0.0;       // ...to
    LineState state = LineState::unknown;  // check-line
    std::string place;       // where it was written: "--do 3", "site.script line 12"
};

// False with the line and the reason it is not an action, naming the word that is wrong. Blank
// lines and # comments, on a line of their own or after an action, give no action and true. A
// card command is checked by name here; its values only by the card.
bool parse_script_line(const std::string& line, std::vector<ScriptAction>* actions, std::string* error);

// Runs the actions in order, up to the first that fails, or with keep_going every one, and ends
// with a summary line. Returns kExitOk, or the first failure's status (kExitWaitFailed,
// kExitCardCommand, kExitCheckFailed, kExitRecordFailed), or kExitInterrupted.
int run_script(PanelSession& session, const std::vector<ScriptAction>& actions, FILE* out,
               const volatile std::sig_atomic_t* interrupted, bool keep_going);

// The event line with "time" (ISO 8601, local, with the UTC offset, as in the records) as its
// last field, unless it has one: so that the events line up with --trace and --csv.
std::string stamped(const std::string& event_line);

// The JSON lines the script prints at its start and end.
std::string json_started(const PanelSnapshot& shot);
std::string json_failed(int status, const std::string& error);
std::string json_stopped(const PanelSnapshot& shot);

}  // namespace vek::panel
