#include "panel/view/live_draw.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "panel/driver/panel_host.h"
#include "panel/line/frame_meaning.h"
#include "panel/line/frame_watch.h"
#include "panel/line/line_clock.h"
#include "panel/line/line_record.h"
#include "panel/view/screen.h"

namespace vek::panel {

namespace {

// The layout below needs this much room; a smaller terminal gets a note instead.
constexpr int kMinColumns = 78;
constexpr int kMinLines = 21;
constexpr int kLabelWidth = 14;
constexpr int kCellWidth = 4;
constexpr int kBarWidth = 20;
// A reopened port is told of for this long after it came back.
constexpr double kReopenedShownUs = 10e6;

void print_at(int line, int column, const std::string& text, Ink ink = Ink::plain) {
    screen_put(line, column, text, ink);
}

// Old values are drawn dim: what the card last sent, not what it has now.
void draw_cells(int line, const char* label, const std::array<bool, 16>& on, Ink colour, bool old = false) {
    print_at(line, 0, label);
    for (int i = 0; i < kChannels; ++i) {
        const bool lit = on[static_cast<std::size_t>(i)];
        print_at(line, kLabelWidth + i * kCellWidth, lit ? "[X]" : "[ ]", old ? Ink::dim : lit ? colour : Ink::plain);
    }
}

void draw_bar(int line, int column, double fraction) {
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
    print_at(line, column, "[" + std::string(static_cast<std::size_t>(filled), '#') +
                               std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "]");
}

void alarm_at(int line, const std::string& text) { print_at(line, 0, text, Ink::alarm); }

std::string ms_text(double ms) {
    char text[32];
    if (ms < 10000.0) {
        std::snprintf(text, sizeof text, "%.0f ms", ms);
    } else {
        std::snprintf(text, sizeof text, "%.0f s", ms / 1000.0);
    }
    return text;
}

// Frames a second, or below one a second the cycle measured, which a one-second count cannot show.
std::string rate_text(const PanelSnapshot& shot) {
    char text[48];
    if (shot.cycle_ms >= 1000.0) {
        std::snprintf(text, sizeof text, "one frame every %.2f s", shot.cycle_ms / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%5.1f Hz", shot.poll_hz);
    }
    return text;
}

// The tap: the host's cycle as the line carried it, and whether the host still sends.
void draw_tap_state(const PanelSnapshot& shot) {
    char text[160];
    if (shot.line.link_taken) {
        alarm_at(2, "PORT LINK TAKEN: another program replaced " + shot.port + "; the tap leaves it alone. Restart the tap");
    } else if (!shot.line.card_connected) {
        alarm_at(2, "CARD LINE LOST: " + shot.device + " has gone. Plug it back in: the tap reconnects");
    }
    std::snprintf(text, sizeof text, "Cycle %s   ", rate_text(shot).c_str());
    print_at(1, 0, text + (shot.since_answer_ms < 0 ? std::string("no answer yet")
                                                    : "last valid answer " + ms_text(shot.since_answer_ms) + " ago"));
    if (!shot.line.card_connected) return;
    if (shot.since_frame_ms < 0) {
        print_at(2, 0, "no frame from the host yet");
    } else if (shot.state == LineState::no_frames) {
        alarm_at(2, "NO FRAME FROM THE HOST FOR " + ms_text(shot.since_frame_ms));
    } else if (shot.state == LineState::corrupt || shot.state == LineState::late || shot.state == LineState::silent) {
        alarm_at(2, shot.state == LineState::corrupt ? "CARD ANSWERS CORRUPT"
                    : shot.state == LineState::late  ? "CARD ANSWERS LATE"
                                                     : "CARD NOT ANSWERING");
    } else {
        print_at(2, 0, "card answering");
    }
}

// Line 1: the rate and the answer's age; line 2: how the line is doing.

// Line 1: the driver's rate, or what the panel cannot know without it, and the answer's age.
void draw_rate(const PanelSnapshot& shot) {
    char text[200];
    if (!delay_note(shot).empty()) {
        // The whole note is in the script's started line; the screen has one line of 78 columns.
        alarm_at(1, "DELAY OVER A MINUTE (" + std::to_string(shot.delay_ms) + " ms): a typo? delay=-50 reads so. s sets it");
        return;
    }
    if (shot.monitored) {
        // The rate is the driver's own polling, once every delay; the panel's host cycle is apart.
        std::snprintf(text, sizeof text, "Poll %s (driver, every %u ms)   host cycle %d Hz   ", rate_text(shot).c_str(),
                      static_cast<unsigned>(shot.delay_ms), 1000 / kPanelHostCycleMs);
        std::string line = text;
        line += shot.since_answer_ms < 0 ? "no answer yet" : "last valid answer " + ms_text(shot.since_answer_ms) + " ago";
        print_at(1, 0, line);
    } else {
        std::snprintf(text, sizeof text, "Driver polls every %u ms   host cycle %d Hz   ", static_cast<unsigned>(shot.delay_ms),
                      1000 / kPanelHostCycleMs);
        print_at(1, 0, text + std::string(shot.trace.writing ? "no rate: the trace has no frames (trace_frames=1)"
                                                             : "no line figures: the driver writes no trace"));
    }
}

// Line 2: how the line is doing, worst first.
void draw_state(const PanelSnapshot& shot) {
    const LineCounts& line = shot.monitored ? shot.line : shot.trace.counts;
    switch (shot.state) {
    case LineState::line_lost:
        alarm_at(2, shot.line.link_taken
                        ? "CARD LINE LOST, and another program replaced the driver's port link: q, and start the panel again"
                        : "CARD LINE LOST: " + shot.device + " has gone. Plug it back in: the panel and the driver reconnect");
        return;
    case LineState::reconnecting: {
        const std::string port = "COM" + std::to_string(shot.trace.lost_port);
        alarm_at(2, "reconnecting to " + port + ": the driver lost it" +
                        (shot.trace.lost_reason.empty() ? std::string() : " (" + shot.trace.lost_reason + ")") +
                        " and reopens it by itself; R restarts it by hand");
        return;
    }
    case LineState::no_frames:
        alarm_at(2, "NO FRAME FROM THE DRIVER FOR " + ms_text(shot.since_frame_ms) + ": R restarts it");
        return;
    case LineState::corrupt:
        alarm_at(2, "CARD ANSWERS CORRUPT (" + std::to_string(line.bad_sums_since_answer) + " bad checksums, " +
                        std::to_string(line.bad_ends_since_answer) +
                        " bad end bytes): check the speed (115200 8N1) and the cable");
        return;
    case LineState::late:
        alarm_at(2, "CARD ANSWERS LATE (" + std::to_string(line.late_answers) + " late answers, the last " +
                        ms_text(static_cast<double>(line.last_late_latency_us) / 1000.0) + " after its frame; the driver waits " +
                        std::to_string(kAnswerWindowUs / 1000) + " ms)");
        return;
    case LineState::silent:
        alarm_at(2, "CARD NOT ANSWERING");
        return;
    case LineState::answering: {
        std::string said = "card answering";
        if (!shot.trace.reopened.empty() &&
            static_cast<double>(monitor_now_us() - shot.trace.reopened_us) < kReopenedShownUs) {
            said += "   (" + shot.trace.reopened + ")";
        }
        print_at(2, 0, said);
        return;
    }
    case LineState::unknown:
        print_at(2, 0, "line state unknown: the driver is not running, or its trace has told nothing yet");
        return;
    }
}

// Line 1: the rate and the answer's age; line 2: how the line is doing.
void draw_line_state(const PanelSnapshot& shot) {
    if (shot.tap) {
        draw_tap_state(shot);
        return;
    }
    draw_rate(shot);
    draw_state(shot);
}

void draw_help() {
    static const char* const kLines[] = {
        "Keys",
        "",
        "a-p        switch output 1-16",
        "A-P        switch the virtual card's input 1-16 (virtual card only)",
        "[ ] { }    analog output 1: -1 +1 -16 +16",
        ", . < >    analog output 2: -1 +1 -16 +16",
        "=          type an analog value: output (1 or 2) and 0-255, e.g. 1 128",
        "z          every output off, analog outputs 0",
        "r          DRV_RESET_OUTPUTS: the driver switches every output off",
        "s          the driver's delay dialog; the delay is saved in the settings file",
        "R          restart the driver: stop, then a new scan for the card",
        ":          a virtual card command, e.g. silent on (virtual card only)",
        "0          reset every line counter and the longest answer time",
        "t          show or hide the traffic pane: the newest frames each way",
        "?          this help        q, Ctrl-C   quit (the card is left all off)",
        "",
        "Any key closes this help.",
    };
    int row = 3;
    for (const char* text : kLines) {
        std::string line = std::string("  ") + text;
        line.resize(74, ' ');
        print_at(row++, 2, line, Ink::reverse);
    }
}

// A frame's bytes, or that none has passed yet: a frame of zeros would pass for one.
std::string frame_or_none(const uint8_t* bytes, std::size_t size, int64_t at_us) {
    return at_us < 0 ? std::string("(none yet)") : frame_text(bytes, size);
}

void draw_last_answer(const PanelSnapshot& shot) {
    std::string line = "Card's last answer       " +
                       frame_or_none(shot.line.last_answer.data(), shot.line.last_answer.size(), shot.line.last_answer_us);
    if (shot.line.answer_time_us >= 0) {
        char times[64];
        std::snprintf(times, sizeof times, "   in %.1f ms (longest %.1f)",
                      static_cast<double>(shot.line.answer_time_us) / 1000.0,
                      static_cast<double>(shot.line.longest_answer_us) / 1000.0);
        line += times;
    }
    print_at(17, 0, line);
}


void draw_too_small(int columns, int lines) {
    print_at(0, 0, "Terminal too small: " + std::to_string(columns) + "x" + std::to_string(lines));
    print_at(1, 0, "the panel needs " + std::to_string(kMinColumns) + "x" + std::to_string(kMinLines));
    print_at(2, 0, "q quits");
}

// The port and what it leads to, the delay, and the settings' own keys.
void draw_title(const PanelSnapshot& shot) {
    std::string title = "Vek panel   port " + (shot.port.empty() ? std::string("?") : shot.port);
    if (!shot.device.empty()) title += " -> " + shot.device;
    if (shot.tap) {
        title = "Vek panel   tap   host " + shot.port + " <-> card " + shot.device + "   (watching only)";
    } else {
        title += "   delay " + std::to_string(shot.delay_ms) + " ms";
        // The settings' own keys, which the driver follows.
        if (shot.port_key != 0) title += "   port=" + std::to_string(shot.port_key) + " set";
        if (!shot.own_trace && !shot.trace_path.empty()) title += "   trace " + shot.trace_path;
        if (!shot.started) title += "   (driver stopped: R restarts it)";
    }
    print_at(0, 0, title, Ink::bold);
}

// The inputs as lamps, the virtual card's own inputs, and the outputs as switches with their keys.
void draw_switches(const PanelSnapshot& shot) {
    print_at(3, 0, "");
    for (int i = 0; i < kChannels; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%3d", i + 1);
        print_at(3, kLabelWidth - 1 + i * kCellWidth, number);
    }
    draw_cells(4, "Inputs", shot.image.inputs, Ink::on, shot.inputs_stale);
    if (shot.inputs_stale) {
        print_at(6, 0, "Inputs are " + ms_text(shot.inputs_age_ms) +
                           " old (dim): no valid answer since; they keep the card's last values", Ink::bold);
    }
    if (shot.virtual_card) {
        std::array<bool, 16> card{};
        for (std::size_t i = 0; i < 16; ++i) card[i] = (shot.card_inputs[i / 8] & (1U << (i % 8))) == 0;
        draw_cells(5, "Card (A-P)", card, Ink::on);
    }
    draw_cells(7, "Outputs", shot.image.outputs, Ink::output_on);
    if (!shot.tap) {
        print_at(8, 0, "keys");
        for (int i = 0; i < kChannels; ++i) print_at(8, kLabelWidth + 1 + i * kCellWidth, std::string(1, static_cast<char>('a' + i)));
    }
}

void draw_analog(const PanelSnapshot& shot) {
    char text[96];
    for (int ch = 0; ch < 2; ++ch) {
        const double volts = static_cast<double>(shot.image.volts[static_cast<std::size_t>(ch)]);
        std::snprintf(text, sizeof text, "Analog in %d  %6.3f V", ch + 1, volts);
        print_at(10 + ch, 0, text);
        draw_bar(10 + ch, 24, volts / 5.0);
    }
    const char* const keys[2] = {"[ ] -/+1  { } -/+16  =", ", . -/+1  < > -/+16  ="};
    for (int ch = 0; ch < 2; ++ch) {
        const int value = shot.image.analog_out[static_cast<std::size_t>(ch)];
        std::snprintf(text, sizeof text, "Analog out %d %6d", ch + 1, value);
        print_at(12 + ch, 0, text);
        draw_bar(12 + ch, 24, value / 255.0);
        if (!shot.tap) print_at(12 + ch, 48, keys[ch]);
    }
}

// The line's counts, and the newest frame each way where the frames are seen.
void draw_counts(const PanelSnapshot& shot) {
    const LineCounts& line = shot.monitored ? shot.line : shot.trace.counts;
    char text[96];
    char counts[160];
    std::snprintf(counts, sizeof counts, "bad sum %llu   bad end %llu   stray %llu",
                  static_cast<unsigned long long>(line.bad_sums), static_cast<unsigned long long>(line.bad_ends),
                  static_cast<unsigned long long>(line.stray_bytes));
    if (shot.monitored) {
        std::snprintf(text, sizeof text, "Line  sent %llu  answers %llu  unanswered %llu  late %llu  ",
                      static_cast<unsigned long long>(line.frames_to_card), static_cast<unsigned long long>(line.answers),
                      static_cast<unsigned long long>(line.unanswered), static_cast<unsigned long long>(line.late_answers));
        print_at(15, 0, text + std::string(counts));
        if (shot.tap) {
            std::snprintf(text, sizeof text, "From the host   bad %llu   stray %llu",
                          static_cast<unsigned long long>(line.bad_frames_to_card),
                          static_cast<unsigned long long>(line.stray_to_card));
            print_at(14, 0, text);
        }
        print_at(16, 0, "Last frame to the card   " +
                            frame_or_none(line.last_frame.data(), line.last_frame.size(), line.last_frame_us));
        draw_last_answer(shot);
    } else {
        print_at(15, 0, "Line   " + std::string(counts));
    }
    // Above the counts, where the tap's own line is not; the card's last answer is on line 17.
    // The newest corrupt answer in hex takes the place of the note on stray bytes.
    if (line.has_bad_answer) {
        print_at(shot.tap ? 9 : 14, 0,
                 "Corrupt answer  " + frame_text(line.last_bad_answer.data(), line.last_bad_answer.size()) + "  " +
                     frame_fault(line.last_bad_answer.data(), line.last_bad_answer.size()),
                 Ink::alarm);
    } else {
        print_at(shot.tap ? 9 : 14, 0, "stray: bytes from the card outside any frame (noise, or a wrong speed)");
    }
}

// The newest frames each way, oldest first, over the analog values and the counts: the time,
// the direction, the bytes and what they mean.
void draw_traffic(const PanelSnapshot& shot, int lines, int columns) {
    const int first = 10;
    const int last = lines - 4;  // above the message and the footer
    for (int row = first - 1; row <= last; ++row) print_at(row, 0, std::string(static_cast<std::size_t>(columns), ' '));
    print_at(first - 1, 0, "Traffic, newest last (t hides it; 0 resets the counters)", Ink::bold);
    if (!shot.own_line) {
        print_at(first, 0, "the driver opens the port itself here: the pane shows the panel's own line (the virtual");
        print_at(first + 1, 0, "card, --device, --tap); the driver's trace has the frames");
        return;
    }
    const int rows = last - first + 1;
    const std::size_t shown = std::min(shot.traffic.size(), static_cast<std::size_t>(rows));
    int row = first;
    for (std::size_t i = shot.traffic.size() - shown; i < shot.traffic.size(); ++i) {
        // "2026-12-09T06:10:00.123+01:00 rx ...": the time of day to the ms, then the rest.
        const std::string line = trace_line(shot.traffic[i]);
        print_at(row++, 0, line.size() > 30 ? line.substr(11, 12) + line.substr(29) : line);
    }
    if (shown == 0) print_at(first, 0, "no frame yet");
}

// The prompt being typed, or the newest message; then only the keys that work with this card.
void draw_footer(const PanelSnapshot& shot, const ViewState& view, int lines) {
    // Just above the footer: on a tall terminal the traffic pane takes the rows between.
    const int row = lines - 3;
    if (view.prompting == Prompt::card) {
        print_at(row, 0, "card> " + view.prompt);
    } else if (view.prompting == Prompt::analog) {
        print_at(row, 0, "analog output (1 or 2) and value (0-255), e.g. 1 128> " + view.prompt);
    } else {
        print_at(row, 0, view.message);
    }
    if (shot.tap) {
        print_at(lines - 1, 0, "0 counters   t traffic   ? help   q quit   (the tap sends nothing: the host drives the card)");
    } else {
        print_at(lines - 2, 0, shot.virtual_card ? "a-p output   A-P card input   [ ] { } , . < > = analog   z all off   r reset"
                                                 : "a-p output   [ ] { } , . < > = analog   z all off   r reset outputs");
        print_at(lines - 1, 0, shot.virtual_card ? "s settings  R restart  : card command  0 counters  t traffic  ? help  q quit"
                                                 : "s settings   R restart driver   0 counters   t traffic   ? help   q quit");
    }
}

}  // namespace

void draw(const PanelSnapshot& shot, const ViewState& view) {
    screen_clear();
    const int columns = screen_columns();
    const int lines = screen_lines();
    if (columns < kMinColumns || lines < kMinLines) {
        draw_too_small(columns, lines);
        screen_show();
        return;
    }
    draw_title(shot);
    draw_line_state(shot);
    draw_switches(shot);
    draw_analog(shot);
    draw_counts(shot);
    if (view.traffic) draw_traffic(shot, lines, columns);
    draw_footer(shot, view, lines);
    if (view.help) draw_help();
    screen_show();
}

}  // namespace vek::panel
