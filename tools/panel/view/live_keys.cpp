#include "panel/view/live_keys.h"

#include <cstdio>
#include <string>

#include "panel/view/live_draw.h"
#include "panel/view/screen.h"

namespace vek::panel {

namespace {

// The analog keys: [ ] { } step output 1, , . < > output 2, by 1 and by 16.
struct AnalogKey {
    char key;
    unsigned channel;
    int step;
};
constexpr AnalogKey kAnalogKeys[] = {
    {'[', 0, -1}, {']', 0, 1}, {'{', 0, -16}, {'}', 0, 16}, {',', 1, -1}, {'.', 1, 1}, {'<', 1, -16}, {'>', 1, 16},
};

void step_analog(PanelSession& session, unsigned channel, int step) {
    PanelHost& host = *session.driver().host();
    const int now = host.image().analog_out[channel];
    int next = now + step;
    if (next < 0) next = 0;
    if (next > 255) next = 255;
    host.set_analog_out(channel, static_cast<uint8_t>(next));
}

std::string dialog_result(int32_t code, const PanelSnapshot& shot) {
    if (code == 1) {
        return "settings: delay " + std::to_string(shot.delay_ms) + " ms saved in " + shot.settings +
               "; the driver polls at it from its next cycle";
    }
    if (code == 2) return "settings: cancelled, nothing changed (delay " + std::to_string(shot.delay_ms) + " ms)";
    return "settings: the dialog could not be shown (it needs the terminal, /dev/tty)";
}

// Runs the driver's delay dialog on the terminal the panel is using.
void open_settings(PanelSession& session, ViewState& view) {
    screen_suspend();
    std::fputs("\n", stdout);
    std::fflush(stdout);
    const int32_t code = session.driver().host()->configure();
    screen_resume();
    session.driver().reload_settings();
    view.message = dialog_result(code, session.snapshot());
}

// "1 128": analog output 1 to 128.
std::string set_typed_analog(PanelSession& session, const std::string& typed) {
    unsigned channel = 0;
    unsigned value = 0;
    char extra = 0;
    if (std::sscanf(typed.c_str(), "%u %u %c", &channel, &value, &extra) != 2 || channel < 1 || channel > 2 ||
        value > 255) {
        return "'" + typed + "' is not an analog setting: type the output (1 or 2) and a value 0-255, e.g. 1 128";
    }
    session.driver().host()->set_analog_out(channel - 1, static_cast<uint8_t>(value));
    return "analog output " + std::to_string(channel) + " set to " + std::to_string(value);
}

void prompt_key(PanelSession& session, ViewState& view, int key) {
    if (key == 27) {
        view.prompting = Prompt::none;
        view.message = "cancelled";
    } else if (key == kKeyEnter) {
        const Prompt was = view.prompting;
        view.prompting = Prompt::none;
        view.message = was == Prompt::card ? "card: " + session.line().card_command(view.prompt)
                                           : set_typed_analog(session, view.prompt);
    } else if (key == kKeyBackspace && !view.prompt.empty()) {
        view.prompt.pop_back();
    } else if (key >= 32 && key < 127 && view.prompt.size() < 60) {
        view.prompt += static_cast<char>(key);
    }
}

std::string key_name(int key) {
    if (key >= 33 && key < 127) return "'" + std::string(1, static_cast<char>(key)) + "'";
    if (key == ' ') return "Space";
    if (key == kKeyEnter) return "Enter";
    if (key == kKeyBackspace) return "Backspace";
    return "key " + std::to_string(key);
}


// Shift and a letter: the virtual card's input, which a real card has not.
void switch_card_input(PanelSession& session, ViewState& view, int key) {
    if (session.line().has_virtual_card()) {
        session.line().toggle_card_input(static_cast<unsigned>(key - 'A'));
    } else {
        view.message = "Shift-" + std::string(1, static_cast<char>(key)) +
                       " switches a virtual card's input; this card is real (? lists the keys)";
    }
}

// False when the key is not an analog key.
bool analog_key(PanelSession& session, int key) {
    for (const AnalogKey& analog : kAnalogKeys) {
        if (key != analog.key) continue;
        step_analog(session, analog.channel, analog.step);
        return true;
    }
    return false;
}

void restart_driver(PanelSession& session, ViewState& view) {
    view.message = "restarting: the driver is looking for the card...";
    draw(session.snapshot(), view);
    std::string why;
    view.message = session.restart(&why) ? "driver restarted on " + session.snapshot().port
                                         : "restart: " + why + " (R tries again)";
    // The driver reports a failed scan on standard error, over the view.
    screen_redraw();
}

void open_prompt(ViewState& view, Prompt prompt) {
    view.prompting = prompt;
    view.prompt.clear();
}

// The keys that only look at the line, and so work with the tap too; false for any other key.
bool watch_key(PanelSession& session, ViewState& view, int key) {
    if (key == '0') {
        session.reset_counters();
        view.message = "counters reset: every line count and the longest answer time start again from 0";
    } else if (key == 't') {
        view.traffic = !view.traffic;
        view.message = view.traffic ? "traffic pane: the newest frames each way (t hides it)" : "traffic pane hidden";
    } else if (key == '?') {
        view.help = true;
    } else {
        return false;
    }
    return true;
}

// The keys that call the driver or change the view.
void command_key(PanelSession& session, ViewState& view, int key) {
    PanelHost& host = *session.driver().host();
    switch (key) {
    case 'z':
        host.all_outputs_off();
        view.message = "every output off, analog outputs 0";
        break;
    case 'r':
        view.message = host.reset_outputs() == 0 ? "outputs reset: the driver switched every output off"
                                                 : "outputs not reset: the driver is not running (R restarts it)";
        break;
    case '=': open_prompt(view, Prompt::analog); break;
    case 's': open_settings(session, view); break;
    case 'R': restart_driver(session, view); break;
    case ':':
        if (session.line().has_virtual_card()) {
            open_prompt(view, Prompt::card);
        } else {
            view.message = ": takes virtual card commands; this card is real (? lists the keys)";
        }
        break;
    default:
        view.message = key_name(key) + " does nothing here; ? lists the keys";
        break;
    }
}

}  // namespace

bool handle_key(PanelSession& session, ViewState& view, int key) {
    if (view.prompting != Prompt::none) {
        prompt_key(session, view, key);
        return true;
    }
    if (view.help) {
        view.help = false;
        return key != 'q';
    }
    if (key == 'q') return false;
    if (watch_key(session, view, key)) return true;
    if (session.line().is_tap()) {
        view.message = "the tap only watches: it sends nothing to the card (0 resets the counters, t shows the "
                       "traffic, q quits)";
        return true;
    }
    if (key >= 'a' && key < 'a' + kChannels) {
        PanelHost& host = *session.driver().host();
        const auto index = static_cast<unsigned>(key - 'a');
        host.set_output(index, !host.image().outputs[index]);
    } else if (key >= 'A' && key < 'A' + kChannels) {
        switch_card_input(session, view, key);
    } else if (!analog_key(session, key)) {
        command_key(session, view, key);
    }
    return true;
}

}  // namespace vek::panel
