// What the screen and the script read: the line and the driver as they are at one moment, and
// the line's state judged from them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "panel/driver/panel_host.h"
#include "panel/driver/trace_follow.h"
#include "panel/line/line_event.h"
#include "panel/line/line_tally.h"
#include "panel/session/poll_rate.h"

namespace vek::panel {

class DriverSession;
class LineSession;

// How the line is doing, worst first.
enum class LineState {
    unknown,        // nothing tells yet
    line_lost,      // the card's device behind the line monitor has gone
    reconnecting,   // the driver lost its port and is reopening it
    no_frames,      // the driver sends nothing, and its trace does not say why
    corrupt,        // the card answers, but its answers are corrupt
    late,           // the card answers, later than the driver waits
    silent,         // the card does not answer
    answering,
};
const char* line_state_name(LineState state);
// Every state, best first, as the scripts name them.
constexpr LineState kLineStates[] = {LineState::answering, LineState::late,         LineState::silent,
                                     LineState::corrupt,   LineState::no_frames,    LineState::reconnecting,
                                     LineState::line_lost, LineState::unknown};

struct PanelSnapshot {
    PanelImage image;
    bool started = false;
    bool monitored = false;     // line counts, rate and answer age are known (own line, or the
                                // driver's trace with its frames)
    bool own_line = false;      // the counts come from the panel's line monitor
    LineCounts line;
    double poll_hz = 0.0;       // output frames a second over the last second or so
    double cycle_ms = -1.0;     // from one frame to the next; -1: not measured
    uint32_t wait_delay_ms = 0; // the longest delay the driver may still be sleeping out
    double since_answer_ms = -1.0;
    bool answering = false;     // the card answers in time, with valid frames
    LineState state = LineState::unknown;
    double since_frame_ms = -1.0;   // since the driver's newest frame to the card
    double inputs_age_ms = -1.0;    // since the driver last had valid inputs; -1: unknown
    bool inputs_stale = false;      // older than two of the driver's cycles
    uint32_t delay_ms = 0;          // the instance's poll delay, from the settings file
    std::string settings;           // the settings file
    uint32_t port_key = 0;          // the settings' "port": the one port the driver probes
    std::string trace_path;         // the driver's trace, which the panel follows
    bool own_trace = false;         // the panel named the trace; false: the user's own
    DriverTrace trace;
    std::string port;           // e.g. "COM1"; empty when not found
    std::string device;         // what the port leads to
    bool virtual_card = false;
    bool tap = false;           // only watching: port is the tap's link, image what the line carried
    std::array<uint8_t, 2> card_inputs{};  // the virtual card's own inputs, active low
    // The newest frames each way on the panel's own line, oldest first, for the traffic pane
    // (empty where the panel has no line of its own: --ports, Windows).
    std::vector<LineEvent> traffic;
};

// Frames kept each way for the traffic pane.
constexpr std::size_t kTrafficFrames = 16;

// Empty, or a note on a delay over a minute: the driver keeps such a delay as it reads it (the
// host may mean it), but then sends the card a frame that seldom, and a typo such as delay=-50
// reads as 4294967246 ms.
std::string delay_note(const PanelSnapshot& shot);

// The line and the driver now, with the rate of frames to the card as measured.
PanelSnapshot take_snapshot(const LineSession& line, const DriverSession& driver, const PollRate& rate);

}  // namespace vek::panel
