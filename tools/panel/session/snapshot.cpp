#include "panel/session/snapshot.h"

#include <algorithm>

#include "panel/line/frame_meaning.h"
#include "panel/line/line_clock.h"
#include "panel/session/driver_session.h"
#include "panel/session/line_session.h"

namespace vek::panel {

namespace {

// A frame older than this without an answer was missed: the driver's window, and some slack.
constexpr int64_t kMissedAfterUs = kAnswerWindowUs + 50000;
// Corrupt answers this recent, with no valid one since, make a corrupt card; a driver that hears
// only corrupt answers waits out its window on each, so they come every 250 ms or so.
constexpr int64_t kCorruptRecentUs = 600000;
// A late answer this recent makes a late card.
constexpr int64_t kLateRecentUs = 1000000;
// One of the driver's cycles is its delay and an exchange, which takes under 2 ms at 115200
// baud; inputs older than two cycles, with this much slack per cycle, are old.
constexpr double kExchangeSlackMs = 10.0;
// A driver that has sent nothing for this long past its cycle has lost its port.
constexpr double kQuietDriverMs = 2000.0;
// A delay longer than this is noted: the driver keeps it, but it is more likely a typo than meant.
constexpr uint32_t kLongDelayMs = 60000;

// What the line carried, as the tap's view and readings show it: the outputs of the newest valid
// frame to the card, the inputs and volts of its newest valid answer.
void show_line_image(PanelSnapshot* shot) {
    shot->image = PanelImage{};
    // By the frames' times, not their counts, which a reset of the counters sets back to 0.
    if (shot->line.last_frame_us >= 0) {
        const SeenOutputs seen = outputs_of_frame(shot->line.last_frame.data());
        shot->image.outputs = seen.outputs;
        shot->image.analog_out = seen.analog_out;
    }
    if (shot->line.last_answer_us >= 0) {
        const SeenInputs seen = inputs_of_frame(shot->line.last_answer.data());
        shot->image.inputs = seen.inputs;
        shot->image.volts = {static_cast<float>(seen.volts[0]), static_cast<float>(seen.volts[1])};
    }
}

// The host's image, the settings the driver runs with, and its trace.
void describe_driver(const DriverSession& driver, PanelSnapshot* shot) {
    if (const PanelHost* host = driver.host(); host != nullptr) {
        shot->image = host->image();
        shot->started = host->started();
    }
    const DriverSettings& settings = driver.settings();
    shot->delay_ms = settings.delay_ms;
    shot->settings = settings.file;
    shot->port_key = settings.port_key;
    shot->trace_path = settings.trace_path;
    shot->own_trace = settings.own_trace;
    if (const DriverTrace* trace = driver.trace(); trace != nullptr) shot->trace = *trace;
}

// The port and the card, and the line's counts: the line monitor's, or those of the driver's
// trace when it traces the frames.
void describe_line(const LineSession& line, PanelSnapshot* shot) {
    shot->port = line.port();
    shot->device = line.device();
    shot->virtual_card = line.has_virtual_card();
    if (shot->virtual_card) shot->card_inputs = line.card_inputs();
    shot->tap = line.is_tap();
    if (line.counts(&shot->line)) {
        shot->monitored = true;
        shot->own_line = true;
    } else if (shot->trace.frames) {
        shot->monitored = true;
        shot->line = shot->trace.counts;
        shot->line.card_connected = true;
    }
}

// How long ago the newest frame each way crossed, and how fast frames go.
void time_line(int64_t now, const PollRate& rate, PanelSnapshot* shot) {
    if (shot->line.last_frame_us >= 0) shot->since_frame_ms = static_cast<double>(now - shot->line.last_frame_us) / 1000.0;
    if (shot->line.last_answer_us >= 0) {
        shot->since_answer_ms = static_cast<double>(now - shot->line.last_answer_us) / 1000.0;
    }
    if (shot->tap) show_line_image(shot);
    shot->poll_hz = rate.hz(now);
    shot->cycle_ms = rate.cycle_ms(now);
}

// The delay the driver may still be sleeping out: a lowered delay is taken only after the old
// one's sleep, so until a frame has gone since the change the old one counts.
uint32_t wait_delay_ms(const DriverSettings& settings, const LineCounts& line) {
    const bool pending = settings.delay_changed_us >= 0 && line.last_frame_us < settings.delay_changed_us;
    return pending && settings.previous_delay_ms > settings.delay_ms ? settings.previous_delay_ms : settings.delay_ms;
}

// Quiet means no frame for a while past the driver's own cycle: its delay, or the cycle measured
// (the tap knows no delay), so that a slow poll is never taken for a driver that stopped.
double quiet_after_ms(const PanelSnapshot& shot) {
    return kQuietDriverMs + std::max(static_cast<double>(shot.wait_delay_ms), shot.cycle_ms);
}

LineState judge_line(const PanelSnapshot& shot, int64_t now) {
    const LineCounts& line = shot.monitored ? shot.line : shot.trace.counts;
    const bool corrupt = line.last_bad_us >= 0 && line.last_bad_us > line.last_answer_us &&
                         now - line.last_bad_us < kCorruptRecentUs;
    const bool missed = line.unanswered_since_us >= 0 && now - line.unanswered_since_us >= kMissedAfterUs;
    const bool late = line.last_late_us >= 0 && now - line.last_late_us < kLateRecentUs;
    if (shot.own_line && !shot.line.card_connected) return LineState::line_lost;
    if (shot.trace.lost) return LineState::reconnecting;
    if ((shot.started || shot.tap) && shot.since_frame_ms > quiet_after_ms(shot)) return LineState::no_frames;
    if (corrupt) return LineState::corrupt;
    if (shot.monitored) {
        // A late card leaves frames unanswered within the window too: late says more than silent.
        return late                                     ? LineState::late
               : shot.line.last_answer_us < 0 || missed ? LineState::silent
                                                        : LineState::answering;
    }
    // The user's own trace without its frames tells only of silence and corruption.
    if (shot.trace.writing && shot.started) return shot.trace.silent ? LineState::silent : LineState::answering;
    return LineState::unknown;
}

}  // namespace

const char* line_state_name(LineState state) {
    switch (state) {
    case LineState::unknown: return "unknown";
    case LineState::line_lost: return "line-lost";
    case LineState::reconnecting: return "reconnecting";
    case LineState::no_frames: return "no-frames";
    case LineState::corrupt: return "corrupt";
    case LineState::late: return "late";
    case LineState::silent: return "silent";
    case LineState::answering: return "answering";
    }
    return "unknown";
}

std::string delay_note(const PanelSnapshot& shot) {
    if (shot.tap || shot.delay_ms <= kLongDelayMs) return {};
    return "the delay, " + std::to_string(shot.delay_ms) + " ms in " + shot.settings +
           ", is over a minute: the driver sends the card a frame that seldom, so outputs change and inputs come "
           "that seldom (a negative delay reads as a huge one)";
}

PanelSnapshot take_snapshot(const LineSession& line, const DriverSession& driver, const PollRate& rate) {
    PanelSnapshot shot;
    describe_driver(driver, &shot);
    describe_line(line, &shot);
    shot.wait_delay_ms = wait_delay_ms(driver.settings(), shot.line);
    const int64_t now = monitor_now_us();
    if (shot.monitored) time_line(now, rate, &shot);
    shot.state = judge_line(shot, now);
    shot.answering = shot.state == LineState::answering;
    if (shot.since_answer_ms >= 0) {
        shot.inputs_age_ms = shot.since_answer_ms;
        const double cycle = std::max(static_cast<double>(shot.wait_delay_ms), shot.cycle_ms);
        shot.inputs_stale = shot.inputs_age_ms > 2.0 * (cycle + kExchangeSlackMs);
    }
    return shot;
}

}  // namespace vek::panel
