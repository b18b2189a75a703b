#include "live_view.h"

#include "frame_watch.h"
#include "screen.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHostCycleMs = 100;
// The layout below needs this much room; a smaller terminal gets a note instead.
constexpr int kMinColumns = 78;
constexpr int kMinLines = 21;
constexpr int kLabelWidth = 14;
constexpr int kCellWidth = 4;
constexpr int kBarWidth = 20;
// Keys a to p switch outputs 1 to 16; A to P the virtual card's inputs.
constexpr int kChannels = 16;
// A driver that has sent nothing for this long has lost its port (or runs a very long delay).
constexpr double kQuietDriverMs = 2000.0;

struct ViewState {
    std::string message;
    bool prompting = false;
    std::string prompt;
};

void print_at(int line, int column, const std::string& text, Ink ink = Ink::plain) {
    screen_put(line, column, text, ink);
}

void draw_cells(int line, const char* label, const std::array<bool, 16>& on, Ink colour) {
    print_at(line, 0, label);
    for (int i = 0; i < kChannels; ++i) {
        const bool lit = on[static_cast<std::size_t>(i)];
        print_at(line, kLabelWidth + i * kCellWidth, lit ? "[X]" : "[ ]", lit ? colour : Ink::plain);
    }
}

void draw_bar(int line, int column, double fraction) {
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
    print_at(line, column, "[" + std::string(static_cast<std::size_t>(filled), '#') +
                               std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "]");
}

void draw_line_state(const PanelSnapshot& shot) {
    char text[160];
    if (!shot.monitored) {
        print_at(1, 0, unmonitored_line_note());
        return;
    }
    if (!shot.line.card_connected) {
        print_at(1, 0, "CARD LINE LOST: the device has gone; reconnect it, then press R to restart the driver", Ink::alarm);
        return;
    }
    // The tap sees the host's cycle; the panel's own line, the driver's polling.
    const char* const rate = shot.tap ? "Cycle" : "Poll";
    if (shot.since_answer_ms < 0) {
        std::snprintf(text, sizeof text, "%s %5.1f Hz   no answer yet", rate, shot.poll_hz);
    } else if (shot.since_answer_ms < 10000.0) {
        std::snprintf(text, sizeof text, "%s %5.1f Hz   last valid answer %.0f ms ago", rate, shot.poll_hz,
                      shot.since_answer_ms);
    } else {
        std::snprintf(text, sizeof text, "%s %5.1f Hz   last valid answer %.0f s ago", rate, shot.poll_hz,
                      shot.since_answer_ms / 1000.0);
    }
    print_at(1, 0, text);
    if (shot.tap && shot.since_frame_ms < 0) {
        print_at(1, 50, "no frame from the host yet");
    } else if (shot.tap && shot.since_frame_ms > kQuietDriverMs) {
        std::snprintf(text, sizeof text, "NO FRAME FROM THE HOST FOR %.0f s", shot.since_frame_ms / 1000.0);
        print_at(1, 50, text, Ink::alarm);
    } else if (shot.started && shot.since_frame_ms > kQuietDriverMs) {
        std::snprintf(text, sizeof text, "NO FRAME FROM THE DRIVER FOR %.0f s: R restarts it", shot.since_frame_ms / 1000.0);
        print_at(1, 50, text, Ink::alarm);
    } else if (!shot.answering) {
        print_at(1, 50, "CARD NOT ANSWERING", Ink::alarm);
    } else {
        print_at(1, 50, "card answering");
    }
}

void draw_last_answer(const PanelSnapshot& shot) {
    std::string line = "Card's last answer       " + frame_text(shot.line.last_answer.data(), shot.line.last_answer.size());
    if (shot.line.answer_time_us >= 0) {
        char times[64];
        std::snprintf(times, sizeof times, "   in %.1f ms (longest %.1f)",
                      static_cast<double>(shot.line.answer_time_us) / 1000.0,
                      static_cast<double>(shot.line.longest_answer_us) / 1000.0);
        line += times;
    }
    print_at(17, 0, line);
}

void draw(const PanelSnapshot& shot, const ViewState& view) {
    screen_clear();
    const int columns = screen_columns();
    const int lines = screen_lines();
    if (columns < kMinColumns || lines < kMinLines) {
        print_at(0, 0, "Terminal too small: " + std::to_string(columns) + "x" + std::to_string(lines));
        print_at(1, 0, "the panel needs " + std::to_string(kMinColumns) + "x" + std::to_string(kMinLines));
        print_at(2, 0, "q quits");
        screen_show();
        return;
    }
    std::string title = "Vek panel   port " + (shot.port.empty() ? std::string("?") : shot.port);
    if (!shot.device.empty()) title += " -> " + shot.device;
    if (shot.tap) title = "Vek panel   tap   host " + shot.port + " <-> card " + shot.device + "   (watching only)";
    if (!shot.started && !shot.tap) title += "   (driver stopped: R restarts it)";
    print_at(0, 0, title, Ink::bold);
    draw_line_state(shot);

    print_at(3, 0, "");
    for (int i = 0; i < kChannels; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%3d", i + 1);
        print_at(3, kLabelWidth - 1 + i * kCellWidth, number);
    }
    draw_cells(4, "Inputs", shot.image.inputs, Ink::on);
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

    char text[96];
    for (int ch = 0; ch < 2; ++ch) {
        const double volts = static_cast<double>(shot.image.volts[static_cast<std::size_t>(ch)]);
        std::snprintf(text, sizeof text, "Analog in %d  %6.3f V", ch + 1, volts);
        print_at(10 + ch, 0, text);
        draw_bar(10 + ch, 24, volts / 5.0);
    }
    const char* const keys[2] = {"[ ] -/+1   { } -/+16", ", . -/+1   < > -/+16"};
    for (int ch = 0; ch < 2; ++ch) {
        const int value = shot.image.analog_out[static_cast<std::size_t>(ch)];
        std::snprintf(text, sizeof text, "Analog out %d %6d", ch + 1, value);
        print_at(12 + ch, 0, text);
        draw_bar(12 + ch, 24, value / 255.0);
        if (!shot.tap) print_at(12 + ch, 48, keys[ch]);
    }
    if (shot.monitored) {
        std::snprintf(text, sizeof text, "Line   sent %llu   answers %llu   bad %llu   stray %llu   late %llu",
                      static_cast<unsigned long long>(shot.line.frames_to_card),
                      static_cast<unsigned long long>(shot.line.answers),
                      static_cast<unsigned long long>(shot.line.bad_answers),
                      static_cast<unsigned long long>(shot.line.stray_bytes),
                      static_cast<unsigned long long>(shot.line.late_answers));
        print_at(15, 0, text);
        if (shot.tap) {
            std::snprintf(text, sizeof text, "From the host   bad %llu   stray %llu",
                          static_cast<unsigned long long>(shot.line.bad_frames_to_card),
                          static_cast<unsigned long long>(shot.line.stray_to_card));
            print_at(14, 0, text);
        }
        print_at(16, 0, "Last frame to the card   " + frame_text(shot.line.last_frame.data(), shot.line.last_frame.size()));
        draw_last_answer(shot);
    }
    if (view.prompting) {
        print_at(18, 0, "card> " + view.prompt);
    } else {
        print_at(18, 0, view.message);
    }
    if (shot.tap) {
        print_at(lines - 1, 0, "q quit   (the tap sends nothing: the host drives the card)");
    } else {
        print_at(lines - 2, 0, "a-p output   A-P card input   z all off   r reset outputs   s settings");
        print_at(lines - 1, 0, "R restart driver   : card command   q quit");
    }
    screen_show();
}

void step_analog(PanelSession& session, unsigned channel, int step) {
    const int now = session.host().image().analog_out[channel];
    int next = now + step;
    if (next < 0) next = 0;
    if (next > 255) next = 255;
    session.host().set_analog_out(channel, static_cast<uint8_t>(next));
}

std::string dialog_result(int32_t code) {
    if (code == 1) return "settings: saved";
    if (code == 2) return "settings: cancelled, nothing changed";
    return "settings: the dialog could not be shown (" + std::to_string(code) + ")";
}

// Runs the driver's delay dialog on the terminal the panel is using.
void open_settings(PanelSession& session, ViewState& view) {
    screen_suspend();
    std::fputs("\n", stdout);
    std::fflush(stdout);
    const int32_t code = session.host().configure();
    screen_resume();
    view.message = dialog_result(code);
}

void prompt_key(PanelSession& session, ViewState& view, int key) {
    if (key == 27) {
        view.prompting = false;
    } else if (key == kKeyEnter) {
        view.prompting = false;
        view.message = "card: " + session.card_command(view.prompt);
    } else if (key == kKeyBackspace && !view.prompt.empty()) {
        view.prompt.pop_back();
    } else if (key >= 32 && key < 127 && view.prompt.size() < 60) {
        view.prompt += static_cast<char>(key);
    }
}

// False when the key asks to quit.
bool handle_key(PanelSession& session, ViewState& view, int key) {
    if (view.prompting) {
        prompt_key(session, view, key);
        return true;
    }
    if (session.is_tap()) {
        if (key == 'q') return false;
        view.message = "the tap only watches: it sends nothing to the card (q quits)";
        return true;
    }
    PanelHost& host = session.host();
    if (key >= 'a' && key < 'a' + kChannels) {
        const auto index = static_cast<unsigned>(key - 'a');
        host.set_output(index, !host.image().outputs[index]);
    } else if (key >= 'A' && key < 'A' + kChannels) {
        if (session.has_virtual_card()) {
            session.toggle_card_input(static_cast<unsigned>(key - 'A'));
        } else {
            view.message = "A-P switch the virtual card's inputs; this panel drives a real card";
        }
    } else {
        switch (key) {
        case 'q':
            return false;
        case '[': step_analog(session, 0, -1); break;
        case ']': step_analog(session, 0, 1); break;
        case '{': step_analog(session, 0, -16); break;
        case '}': step_analog(session, 0, 16); break;
        case ',': step_analog(session, 1, -1); break;
        case '.': step_analog(session, 1, 1); break;
        case '<': step_analog(session, 1, -16); break;
        case '>': step_analog(session, 1, 16); break;
        case 'z':
            host.all_outputs_off();
            break;
        case 'r':
            view.message = "reset outputs: " + std::to_string(host.reset_outputs());
            break;
        case 's':
            open_settings(session, view);
            break;
        case 'R':
            view.message = "restarting: the driver is looking for the card...";
            draw(session.snapshot(), view);
            view.message = session.restart() ? "driver restarted" : "restart: no card answered (R tries again)";
            // The driver reports a failed scan on standard error, over the view.
            screen_redraw();
            break;
        case ':':
            if (session.has_virtual_card()) {
                view.prompting = true;
                view.prompt.clear();
            } else {
                view.message = "card commands need the virtual card";
            }
            break;
        default:
            break;
        }
    }
    return true;
}

}  // namespace

int run_live_view(PanelSession& session, const volatile std::sig_atomic_t* interrupted) {
    if (!screen_open()) return kExitSetup;
    ViewState view;
    view.message = session.is_tap() ? "Watching the line: the host drives the card." : "Ready. Switch an output with its key.";
    auto next_cycle = Clock::now();
    bool going = true;
    while (going && *interrupted == 0) {
        const auto now = Clock::now();
        if (now >= next_cycle) {
            session.tick();
            draw(session.snapshot(), view);
            next_cycle = now + std::chrono::milliseconds(kHostCycleMs);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_cycle - Clock::now()).count();
        const int key = screen_key(static_cast<int>(left > 0 ? left : 0));
        if (key == kKeyNone) continue;
        // A resize is redrawn at once; every other key acts and is shown at once too.
        if (key != kKeyResize) going = handle_key(session, view, key);
        session.tick();
        draw(session.snapshot(), view);
    }
    screen_close();
    return kExitOk;
}
