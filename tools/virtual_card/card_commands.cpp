#include "card_commands.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

const char* const kCommandNames[] = {"input",   "inputs",  "analog", "volts",  "silent",    "bad-sum",
                                     "bad-end", "garbage", "split",  "delay",  "wire-time", "faults",
                                     "unplug",  "replug",  "status", "frames", "after",     "quit",
                                     "stray-start"};

bool is_command_name(const std::string& word) {
    for (const char* name : kCommandNames) {
        if (word == name) return true;
    }
    return false;
}

bool parse_number(const std::string& text, int base, unsigned long max, unsigned long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > max) return false;
    *value = parsed;
    return true;
}

bool parse_hex_byte(std::string text, uint8_t* byte) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    unsigned long value = 0;
    if (text.size() > 2 || !parse_number(text, 16, 0xFF, &value)) return false;
    *byte = static_cast<uint8_t>(value);
    return true;
}

bool parse_on_off(const std::string& text, bool* on) {
    if (text != "on" && text != "off") return false;
    *on = text == "on";
    return true;
}

std::string hex(const uint8_t* bytes, std::size_t size) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        text += digits;
    }
    return text;
}

std::string volts_text(uint16_t raw) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f V", raw * 5.0 / 1023.0);
    return text;
}

std::string faults_text(const CardFault& f) {
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ",") + part; };
    if (f.silent) add("silent");
    if (f.bad_sum) add("bad-sum");
    if (f.bad_end) add("bad-end");
    if (f.garbage != 0) add("garbage=" + std::to_string(f.garbage));
    if (f.stray_start) add("stray-start");
    if (f.split_ms != 0) add("split=" + std::to_string(f.split_ms) + "ms");
    if (f.delay_ms != 0) add("delay=" + std::to_string(f.delay_ms) + "ms");
    return text.empty() ? "none" : text;
}

std::string status_text(const CommandState& state) {
    const VirtualCard& card = state.card;
    const auto inputs = card.digital_inputs();
    std::ostringstream out;
    out << "ok " << (card.plugged() ? "plugged " + card.device_path() : std::string("unplugged")) << " link "
        << (state.link.empty() ? "(none)" : state.link) << " frames " << card.frame_count() << " invalid "
        << card.invalid_frame_count() << " garbage " << card.garbage_byte_count() << " answers " << card.answer_count()
        << " inputs " << hex(inputs.data(), 2) << " analog " << card.analog_raw(1) << " " << card.analog_raw(2)
        << " wire-time " << (card.wire_time() ? "on" : "off") << " faults " << faults_text(card.fault());
    return out.str();
}

std::string frames_text(const VirtualCard& card) {
    std::string text = "ok frames " + std::to_string(card.frame_count());
    ReceivedFrame last{};
    if (card.last_frame(&last)) {
        char at[32];
        std::snprintf(at, sizeof at, "%.3f", last.at_ms);
        text += " last " + hex(last.bytes.data(), last.bytes.size()) + (last.valid ? " valid" : " invalid") + " at " +
                at + " ms";
    }
    return text;
}

// Fault switches and counts share one shape: a name, a value, a field of CardFault.
std::string set_fault_field(VirtualCard& card, const std::vector<std::string>& words) {
    const std::string& name = words[0];
    if (words.size() != 2) return "error: " + name + " takes one value";
    CardFault fault = card.fault();
    bool on = false;
    unsigned long n = 0;
    if (name == "silent" || name == "bad-sum" || name == "bad-end" || name == "stray-start") {
        if (!parse_on_off(words[1], &on)) return "error: " + name + " takes on or off";
        (name == "silent"        ? fault.silent
         : name == "bad-sum"     ? fault.bad_sum
         : name == "stray-start" ? fault.stray_start
                                 : fault.bad_end) = on;
    } else {
        // Bounded so that a typo cannot stall the card for hours.
        const unsigned long max = name == "garbage" ? 4096 : 60000;
        if (!parse_number(words[1], 10, max, &n)) {
            return "error: " + name + " takes a number from 0 to " + std::to_string(max);
        }
        (name == "garbage" ? fault.garbage
         : name == "split" ? fault.split_ms
                           : fault.delay_ms) = static_cast<uint32_t>(n);
    }
    card.set_fault(fault);
    return "ok " + name + " " + words[1];
}

// input N on|off, inputs HH HH.
std::string set_inputs(VirtualCard& card, const std::vector<std::string>& words) {
    if (words[0] == "input") {
        unsigned long n = 0;
        bool on = false;
        if (words.size() != 3 || !parse_number(words[1], 10, 16, &n) || n == 0 || !parse_on_off(words[2], &on)) {
            return "error: usage: input <1-16> on|off";
        }
        card.set_input(static_cast<unsigned>(n), on);
        return "ok input " + words[1] + " " + words[2];
    }
    uint8_t bytes[2];
    if (words.size() != 3 || !parse_hex_byte(words[1], &bytes[0]) || !parse_hex_byte(words[2], &bytes[1])) {
        return "error: usage: inputs <hex byte> <hex byte>";
    }
    card.set_digital_inputs(bytes[0], bytes[1]);
    return "ok inputs " + hex(bytes, 2);
}

// analog N RAW, volts N V.
std::string set_analog(VirtualCard& card, const std::vector<std::string>& words) {
    const std::string& name = words[0];
    unsigned long channel = 0;
    unsigned long n = 0;
    if (words.size() != 3 || !parse_number(words[1], 10, 2, &channel) || channel == 0) {
        return "error: usage: " + name + (name == "analog" ? " <1|2> <raw 0-65535>" : " <1|2> <0.0-5.0>");
    }
    if (name == "analog") {
        if (!parse_number(words[2], 10, 65535, &n)) return "error: raw value must be 0 to 65535";
    } else {
        char* end = nullptr;
        const double v = std::strtod(words[2].c_str(), &end);
        if (*end != '\0' || !(v >= 0.0 && v <= 5.0)) return "error: volts must be 0.0 to 5.0";
        n = static_cast<unsigned long>(std::lround(v * 1023.0 / 5.0));
    }
    const auto raw = static_cast<uint16_t>(n);
    card.set_analog_raw(static_cast<unsigned>(channel), raw);
    return "ok analog " + words[1] + " raw " + std::to_string(raw) + " (" + volts_text(raw) + ")";
}

// after N COMMAND...: runs the command once the card has taken N frames.
std::string run_after(CommandState& state, const std::vector<std::string>& words) {
    unsigned long n = 0;
    if (words.size() < 3 || !parse_number(words[1], 10, static_cast<unsigned long>(-1), &n)) {
        return "error: usage: after <frames> <command...>";
    }
    if (!is_command_name(words[2])) return "error: unknown command '" + words[2] + "'";
    std::string command;
    for (std::size_t i = 2; i < words.size(); ++i) command += (i == 2 ? "" : " ") + words[i];
    if (state.card.frame_count() >= n) return run_command(state, command);
    state.deferred.push_back({n, command});
    return "ok after " + words[1] + " frames: " + command;
}

// wire-time, faults off, unplug, replug.
std::string set_line(VirtualCard& card, const std::vector<std::string>& words) {
    const std::string& name = words[0];
    if (name == "wire-time") {
        bool on = false;
        if (words.size() != 2 || !parse_on_off(words[1], &on)) return "error: usage: wire-time on|off";
        card.set_wire_time(on);
        return "ok wire-time " + words[1];
    }
    if (name == "faults") {
        if (words.size() != 2 || words[1] != "off") return "error: usage: faults off";
        card.set_fault(CardFault{});
        return "ok faults off";
    }
    if (name == "unplug") {
        if (!card.plugged()) return "error: already unplugged";
        card.unplug();
        return "ok unplugged";
    }
    std::string error;
    if (!card.replug(&error)) return "error: " + error;
    return "ok plugged " + card.device_path();
}

std::string run_words(CommandState& state, const std::vector<std::string>& words) {
    VirtualCard& card = state.card;
    const std::string& name = words[0];
    if (name == "input" || name == "inputs") return set_inputs(card, words);
    if (name == "analog" || name == "volts") return set_analog(card, words);
    if (name == "silent" || name == "bad-sum" || name == "bad-end" || name == "stray-start" || name == "garbage" ||
        name == "split" || name == "delay") {
        return set_fault_field(card, words);
    }
    if (name == "wire-time" || name == "faults" || name == "unplug" || name == "replug") return set_line(card, words);
    if (name == "status") return status_text(state);
    if (name == "frames") return frames_text(card);
    if (name == "quit") {
        state.quit = true;
        return "ok quit";
    }
    if (name == "after") return run_after(state, words);
    return "error: unknown command '" + name + "' (see --help)";
}

}  // namespace

std::string run_command(CommandState& state, const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty() || words[0][0] == '#') return "";
    return run_words(state, words);
}

std::vector<std::string> run_due_commands(CommandState& state) {
    std::vector<std::string> replies;
    const std::size_t frames = state.card.frame_count();
    for (std::size_t i = 0; i < state.deferred.size();) {
        if (state.deferred[i].frames > frames) {
            ++i;
            continue;
        }
        const CommandState::Deferred due = state.deferred[i];
        state.deferred.erase(state.deferred.begin() + static_cast<std::ptrdiff_t>(i));
        const std::string reply = run_command(state, due.command);
        const std::string tag = "(after " + std::to_string(due.frames) + " frames) ";
        replies.push_back(reply.rfind("ok", 0) == 0 ? "ok " + tag + reply.substr(3)
                                                    : "error: " + tag + reply.substr(7));
    }
    return replies;
}

const char* const kCommandHelp =
    "Commands (one a line, on standard input or the control FIFO; each answered with one line\n"
    "starting 'ok' or 'error:'):\n"
    "  input <1-16> on|off          one digital input\n"
    "  inputs <hex> <hex>           inputs 1-8 and 9-16 as the card sends them (active low: FF = all off)\n"
    "  analog <1|2> <0-65535>       raw analog value; 0-1023 is 0-5 V\n"
    "  volts <1|2> <0.0-5.0>        the same, in volts\n"
    "  silent on|off                record frames but never answer\n"
    "  bad-sum on|off               answer with a checksum off by one\n"
    "  bad-end on|off               answer with 0x00 in place of the end byte\n"
    "  garbage <n>                  send n bytes (never 0x12) before each answer\n"
    "  stray-start on|off           send a lone start byte (0x12) just before each answer\n"
    "  split <ms>                   send answer bytes one at a time, ms apart (0: off)\n"
    "  delay <ms>                   wait before answering\n"
    "  wire-time on|off             pace the line at 115200 baud (86.8 us a byte)\n"
    "  faults off                   clear every fault\n"
    "  unplug | replug              pull the cable (the driver sees a hang-up) | plug a new line in\n"
    "  status                       plugged, device, counts, inputs, faults\n"
    "  frames                       valid frames received, and the last frame\n"
    "  after <n> <command...>       run the command once n valid frames have arrived in all\n"
    "  quit\n";
