#include "panel/session/script.h"

#include "panel/line/frame_watch.h"
#include "panel/line/line_clock.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace vek::panel {

namespace {

using Clock = std::chrono::steady_clock;

// The host's own cycle: it writes its outputs and reads its inputs ten times a second.
constexpr int kHostCycleMs = kPanelHostCycleMs;

bool parse_unsigned(const std::string& text, int base, uint32_t max, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > max) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool parse_on_off(const std::string& word, bool* on) {
    if (word != "on" && word != "off") return false;
    *on = word == "on";
    return true;
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <typename Array>
std::string json_bits(const Array& bits) {
    std::string out = "[";
    for (std::size_t i = 0; i < bits.size(); ++i) out += (i > 0 ? "," : "") + std::string(bits[i] ? "1" : "0");
    return out + "]";
}

std::string json_number(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string json_ms(double ms) { return ms < 0 ? std::string("null") : json_number(ms, 1); }
// Microseconds as milliseconds, or null when not known.
std::string json_us_as_ms(int64_t us) { return us < 0 ? std::string("null") : json_number(static_cast<double>(us) / 1000.0, 1); }

std::string json_line_fields(const PanelSnapshot& shot) {
    std::string out = ",\"port\":" + json_text(shot.port) + ",\"line_state\":" + json_text(line_state_name(shot.state)) +
                      ",\"answering\":" + (shot.answering ? "true" : "false") +
                      ",\"inputs_age_ms\":" + json_ms(shot.inputs_age_ms) +
                      ",\"inputs_stale\":" + (shot.inputs_stale ? "true" : "false");
    if (shot.state == LineState::reconnecting) {
        out += ",\"lost\":" + json_text("COM" + std::to_string(shot.trace.lost_port) +
                                         (shot.trace.lost_reason.empty() ? "" : ": " + shot.trace.lost_reason));
    }
    if (!shot.trace.reopened.empty()) out += ",\"reopened\":" + json_text(shot.trace.reopened);
    const LineCounts& line = shot.monitored ? shot.line : shot.trace.counts;
    out += ",\"bad_answers\":" + std::to_string(line.bad_answers) + ",\"bad_sums\":" + std::to_string(line.bad_sums) +
           ",\"bad_ends\":" + std::to_string(line.bad_ends) + ",\"stray_bytes\":" + std::to_string(line.stray_bytes);
    if (!shot.monitored) return out;
    out += ",\"frames_to_card\":" + std::to_string(line.frames_to_card) + ",\"answers\":" + std::to_string(line.answers) +
           ",\"late_answers\":" + std::to_string(line.late_answers) +
           ",\"bad_frames_to_card\":" + std::to_string(line.bad_frames_to_card) +
           ",\"stray_to_card\":" + std::to_string(line.stray_to_card) +
           ",\"dropped_bytes\":" + std::to_string(line.dropped_bytes) +
           ",\"unanswered\":" + std::to_string(line.unanswered) +
           // null before the first: a frame of zeros would pass for one.
           ",\"last_frame\":" +
           (line.last_frame_us < 0 ? "null" : json_text(frame_text(line.last_frame.data(), line.last_frame.size()))) +
           ",\"last_answer\":" +
           (line.last_answer_us < 0 ? "null" : json_text(frame_text(line.last_answer.data(), line.last_answer.size()))) +
           (line.has_bad_answer ? ",\"last_bad_answer\":" +
                                      json_text(frame_text(line.last_bad_answer.data(), line.last_bad_answer.size()))
                                : std::string()) +
           ",\"answer_ms\":" + json_us_as_ms(line.answer_time_us) +
           ",\"longest_answer_ms\":" + json_us_as_ms(line.longest_answer_us) +
           ",\"poll_hz\":" + json_number(shot.poll_hz, 1) + ",\"cycle_ms\":" + json_ms(shot.cycle_ms) + ",\"since_answer_ms\":" + json_ms(shot.since_answer_ms) +
           ",\"since_frame_ms\":" + json_ms(shot.since_frame_ms);
    if (shot.own_line) out += std::string(",\"card_connected\":") + (line.card_connected ? "true" : "false");
    if (shot.own_line && line.link_taken) out += ",\"link_taken\":true";
    return out;
}

// False with the wrong word named in *why: the word, then what it should be.
bool word_is(bool ok, const std::string& word, const std::string& should_be, std::string* why) {
    if (!ok) *why = "'" + word + "' " + should_be;
    return ok;
}

// Exactly `after` words after the verb; else the missing one or the first one too many is named.
bool word_count(const std::vector<std::string>& words, std::size_t after, std::string* why) {
    if (words.size() - 1 < after) {
        *why = "'" + words[0] + "' needs " + std::to_string(after) + (after == 1 ? " word" : " words") + " after it";
        return false;
    }
    if (words.size() - 1 > after) {
        *why = "'" + words[after + 1] + "' is one word too many (a comment starts with #)";
        return false;
    }
    return true;
}

bool parse_volts(const std::string& text, double* volts) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *volts = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && *volts >= -100.0 && *volts <= 100.0;
}

bool parse_line_state(const std::string& word, LineState* state) {
    for (const LineState each : kLineStates) {
        if (word == line_state_name(each)) {
            *state = each;
            return true;
        }
    }
    return false;
}

std::string line_state_names() {
    std::string names;
    for (const LineState each : kLineStates) names += (names.empty() ? "" : ", ") + std::string(line_state_name(each));
    return names;
}

// "card <command>": a virtual card command, checked by name here and by the card for the rest.
bool parse_card_action(const std::vector<std::string>& words, ScriptAction* action, std::string* form,
                       std::string* why) {
    action->kind = ScriptAction::Kind::card;
    *form = "card <virtual card command>";
    if (words.size() < 2) return word_count(words, 1, why);
    if (!is_card_command(words[1])) {
        *why = "the virtual card has no command '" + words[1] + "'. " + kCardCommandNames;
        return false;
    }
    action->command = action->text.substr(action->text.find(words[1], 4));
    return true;
}

// The checks and the label: what a site acceptance script adds to the actions.
bool parse_check_action(const std::vector<std::string>& words, ScriptAction* action, std::string* form,
                        std::string* why) {
    const std::string& verb = words[0];
    if (verb == "check-analog-in") {
        action->kind = ScriptAction::Kind::check_analog_in;
        *form = "check-analog-in <1|2> <min volts> <max volts>";
        return word_count(words, 3, why) &&
               word_is(parse_unsigned(words[1], 10, 2, &action->index) && action->index >= 1, words[1],
                       "is not an analog input: they are 1 and 2", why) &&
               word_is(parse_volts(words[2], &action->low), words[2], "is not volts, such as 2.4", why) &&
               word_is(parse_volts(words[3], &action->high), words[3], "is not volts, such as 2.6", why) &&
               word_is(action->low <= action->high, words[3], "is below the least, " + words[2], why);
    }
    if (verb == "check-line") {
        action->kind = ScriptAction::Kind::check_line;
        *form = "check-line <state>";
        return word_count(words, 1, why) &&
               word_is(parse_line_state(words[1], &action->state), words[1],
                       "is not a line state: " + line_state_names(), why);
    }
    action->kind = ScriptAction::Kind::label;
    *form = "label <text>";
    if (words.size() < 2) return word_count(words, 1, why);
    action->command = action->text.substr(action->text.find(words[1], 5));
    return true;
}

// The action the words make, from the verb on; false with the verb's form in *form and the word
// that is wrong in *why.
bool parse_action(const std::vector<std::string>& words, ScriptAction* action, std::string* form, std::string* why) {
    const std::string& verb = words[0];
    if (verb == "output") {
        action->kind = ScriptAction::Kind::output;
        *form = "output <1-16> on|off";
        return word_count(words, 2, why) &&
               word_is(parse_unsigned(words[1], 10, 16, &action->index) && action->index >= 1, words[1],
                       "is not an output: outputs are numbered 1 to 16", why) &&
               word_is(parse_on_off(words[2], &action->on), words[2], "is not on or off", why);
    }
    if (verb == "outputs") {
        action->kind = ScriptAction::Kind::outputs;
        *form = "outputs <hex 0-FFFF>, bit k is output k+1";
        return word_count(words, 1, why) &&
               word_is(parse_unsigned(words[1], 16, 0xFFFF, &action->value), words[1], "is not hex from 0 to FFFF", why);
    }
    if (verb == "analog") {
        action->kind = ScriptAction::Kind::analog;
        *form = "analog <1|2> <0-255>";
        return word_count(words, 2, why) &&
               word_is(parse_unsigned(words[1], 10, 2, &action->index) && action->index >= 1, words[1],
                       "is not an analog output: they are 1 and 2", why) &&
               word_is(parse_unsigned(words[2], 10, 255, &action->value), words[2], "is not a value from 0 to 255", why);
    }
    if (verb == "wait") {
        action->kind = ScriptAction::Kind::wait;
        *form = "wait <ms>";
        return word_count(words, 1, why) && word_is(parse_unsigned(words[1], 10, 86400000, &action->value), words[1],
                                                    "is not milliseconds from 0 to 86400000", why);
    }
    if (verb == "wait-input") {
        action->kind = ScriptAction::Kind::wait_input;
        *form = "wait-input <1-16> on|off <ms>";
        return word_count(words, 3, why) &&
               word_is(parse_unsigned(words[1], 10, 16, &action->index) && action->index >= 1, words[1],
                       "is not an input: inputs are numbered 1 to 16", why) &&
               word_is(parse_on_off(words[2], &action->on), words[2], "is not on or off", why) &&
               word_is(parse_unsigned(words[3], 10, 86400000, &action->value), words[3],
                       "is not milliseconds from 0 to 86400000", why);
    }
    if (verb == "read" || verb == "reset" || verb == "restart") {
        action->kind = verb == "read" ? ScriptAction::Kind::read
                       : verb == "reset" ? ScriptAction::Kind::reset
                                         : ScriptAction::Kind::restart;
        *form = verb;
        return word_count(words, 0, why);
    }
    if (verb == "card") return parse_card_action(words, action, form, why);
    if (verb == "check-analog-in" || verb == "check-line" || verb == "label") {
        return parse_check_action(words, action, form, why);
    }
    if (verb == "reset-counters") {
        action->kind = ScriptAction::Kind::reset_counters;
        *form = verb;
        return word_count(words, 0, why);
    }
    *why = "'" + verb +
           "' is not an action; the actions are output, outputs, analog, wait, read, wait-input, reset, restart, "
           "card, check-analog-in, check-line, label and reset-counters";
    return false;
}

// A step that failed, for the summary.
struct FailedStep {
    std::string event;   // wait-failed, card-failed, check-failed, record-failed
    const ScriptAction* action;
    std::string label;
};

class ScriptRun {
public:
    ScriptRun(PanelSession& session, FILE* out, const volatile std::sig_atomic_t* interrupted)
        : session_(session), out_(out), interrupted_(interrupted), began_(Clock::now()) {}

    int run(const std::vector<ScriptAction>& actions, bool keep_going) {
        int first_failed = kExitOk;
        std::size_t next = 0;
        std::size_t passed = 0;
        bool cut = false;
        for (; next < actions.size(); ++next) {
            const ScriptAction& action = actions[next];
            int status = *interrupted_ != 0 ? kExitInterrupted : run_one(action);
            if (status == kExitInterrupted) {
                // The step cut short is neither done nor failed: it and the rest are skipped.
                print(head("interrupted") + ",\"action\":" + json_text(action.text) + ",\"place\":" +
                      json_text(action.place) + ",\"skipped\":" + std::to_string(actions.size() - next) + "}");
                cut = true;
                break;
            }
            if (status == kExitOk && record_failed()) status = kExitRecordFailed;
            if (status != kExitOk) {
                failures_.push_back({failed_event(status), &action, label_});
                if (first_failed == kExitOk) first_failed = status;
                if (!keep_going) {
                    ++next;
                    break;
                }
            } else if (action.kind != ScriptAction::Kind::label) {
                ++passed;
            }
        }
        print_summary(passed, actions.size() - next, cut, cut ? kExitInterrupted : first_failed);
        return cut ? kExitInterrupted : first_failed;
    }

private:
    // True once, when a record has failed to write since the last step.
    bool record_failed() {
        if (record_failure_told_ || !session_.records_failed()) return false;
        record_failure_told_ = true;
        print(head("record-failed") + ",\"record\":" + json_text(session_.records_failure()) + "}");
        return true;
    }

    static std::string failed_event(int status) {
        return status == kExitWaitFailed     ? "wait-failed"
               : status == kExitCardCommand  ? "card-failed"
               : status == kExitCheckFailed  ? "check-failed"
                                             : "record-failed";
    }

    double elapsed_ms() const {
        return std::chrono::duration<double, std::milli>(Clock::now() - began_).count();
    }

    // The start of every event line: its name, the time into the script and the label in force.
    std::string head(const char* event) const {
        return std::string("{\"event\":\"") + event + "\",\"t_ms\":" + json_number(elapsed_ms(), 1) +
               (label_.empty() ? std::string() : ",\"label\":" + json_text(label_));
    }

    void print(const std::string& line) {
        std::fputs((stamped(line) + "\n").c_str(), out_);
        std::fflush(out_);
    }

    void print_done(const ScriptAction& action, const std::string& extra = {}) {
        print(head("done") + ",\"action\":" + json_text(action.text) + extra + "}");
    }

    void print_failed(const char* event, const ScriptAction& action, const std::string& extra = {}) {
        print(head(event) + ",\"action\":" + json_text(action.text) + ",\"place\":" + json_text(action.place) + extra +
              "}");
    }

    void print_read(const std::string& extra = {}) {
        const PanelSnapshot shot = session_.snapshot();
        print(head("read") + ",\"time\":" + json_text(local_time_text(wall_now_us())) +
              ",\"inputs\":" + json_bits(shot.image.inputs) + ",\"volts\":[" + json_number(shot.image.volts[0], 3) + "," +
              json_number(shot.image.volts[1], 3) + "]" + ",\"outputs\":" + json_bits(shot.image.outputs) +
              ",\"analog_out\":[" + std::to_string(shot.image.analog_out[0]) + "," +
              std::to_string(shot.image.analog_out[1]) + "]" + json_line_fields(shot) + extra + "}");
    }

    // The closing line: what passed, what failed and where, and the run's status.
    void print_summary(std::size_t passed, std::size_t skipped, bool interrupted, int status) {
        std::string failed;
        for (const FailedStep& step : failures_) {
            failed += std::string(failed.empty() ? "" : ",") + "{\"event\":" + json_text(step.event) +
                      ",\"action\":" + json_text(step.action->text) + ",\"place\":" + json_text(step.action->place) +
                      ",\"label\":" + json_text(step.label) + "}";
        }
        print(head("summary") + ",\"passed\":" + std::to_string(passed) + ",\"failed\":" + std::to_string(failures_.size()) +
              ",\"skipped\":" + std::to_string(skipped) + ",\"interrupted\":" + (interrupted ? "true" : "false") +
              ",\"status\":" + std::to_string(status) + ",\"failures\":[" + failed + "]}");
    }

    // The host's cycle goes on while the script waits; false when an interrupt cut the wait.
    bool keep_cycling(Clock::time_point until) {
        while (*interrupted_ == 0) {
            const auto now = Clock::now();
            if (now >= until) return true;
            const auto step = std::min<Clock::duration>(until - now, std::chrono::milliseconds(kHostCycleMs));
            std::this_thread::sleep_for(step);
            session_.tick();
        }
        return false;
    }

    int wait_input(const ScriptAction& action) {
        const auto started = Clock::now();
        const auto until = started + std::chrono::milliseconds(action.value);
        for (;;) {
            session_.tick();
            if (session_.snapshot().image.inputs[action.index - 1] == action.on) {
                const double waited = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
                print_read(",\"waited_ms\":" + json_number(waited, 1));
                return kExitOk;
            }
            if (Clock::now() >= until) break;
            if (!keep_cycling(std::min(until, Clock::now() + std::chrono::milliseconds(kHostCycleMs)))) {
                return kExitInterrupted;
            }
        }
        print_failed("wait-failed", action);
        print_read();
        return kExitWaitFailed;
    }

    // The checks look once, at a fresh reading: a script waits for the card first.
    int check(const ScriptAction& action) {
        session_.tick();
        const PanelSnapshot shot = session_.snapshot();
        if (action.kind == ScriptAction::Kind::check_line) {
            const std::string seen = ",\"line_state\":" + json_text(line_state_name(shot.state));
            if (shot.state == action.state) {
                print_done(action, ",\"passed\":true" + seen);
                return kExitOk;
            }
            print_failed("check-failed", action, seen);
            return kExitCheckFailed;
        }
        const double volts = shot.image.volts[action.index - 1];
        const std::string seen = ",\"volts\":" + json_number(volts, 3);
        if (volts >= action.low && volts <= action.high) {
            print_done(action, ",\"passed\":true" + seen);
            return kExitOk;
        }
        print_failed("check-failed", action, seen);
        return kExitCheckFailed;
    }

    int run_one(const ScriptAction& action) {
        // The tap has no host; its scripts hold only the actions that do not use one.
        PanelHost* const host = session_.driver().host();
        switch (action.kind) {
        case ScriptAction::Kind::output:
            host->set_output(action.index - 1, action.on);
            break;
        case ScriptAction::Kind::outputs:
            for (unsigned i = 0; i < 16; ++i) host->set_output(i, (action.value >> i) & 1U);
            break;
        case ScriptAction::Kind::analog:
            host->set_analog_out(action.index - 1, static_cast<uint8_t>(action.value));
            break;
        case ScriptAction::Kind::wait:
            // A wait cut short is not done: the run ends as interrupted instead.
            if (!keep_cycling(Clock::now() + std::chrono::milliseconds(action.value))) return kExitInterrupted;
            print_done(action);
            return kExitOk;
        case ScriptAction::Kind::read:
            session_.tick();
            print_read();
            return kExitOk;
        case ScriptAction::Kind::wait_input:
            return wait_input(action);
        case ScriptAction::Kind::check_analog_in:
        case ScriptAction::Kind::check_line:
            return check(action);
        case ScriptAction::Kind::label:
            label_ = action.command;
            print_done(action);
            return kExitOk;
        case ScriptAction::Kind::reset: {
            const bool reset = host->reset_outputs() == 0;
            session_.tick();
            print_done(action, std::string(",\"outputs_reset\":") + (reset ? "true" : "false"));
            return kExitOk;
        }
        case ScriptAction::Kind::restart: {
            std::string why;
            const bool started = session_.restart(&why);
            session_.tick();
            print_done(action, std::string(",\"started\":") + (started ? "true" : "false") +
                                   ",\"port\":" + json_text(session_.snapshot().port) +
                                   (started ? std::string() : ",\"error\":" + json_text(why)));
            return kExitOk;
        }
        case ScriptAction::Kind::reset_counters:
            session_.reset_counters();
            print_done(action);
            return kExitOk;
        case ScriptAction::Kind::card: {
            // Card actions were refused before the start without a virtual card.
            const std::string reply = session_.line().card_command(action.command);
            if (reply.rfind("ok", 0) != 0) {
                print_failed("card-failed", action, ",\"reply\":" + json_text(reply));
                return kExitCardCommand;
            }
            print_done(action, ",\"reply\":" + json_text(reply));
            return kExitOk;
        }
        }
        // A changed output goes to the driver at once, not at the next cycle.
        session_.tick();
        print_done(action);
        return kExitOk;
    }

    PanelSession& session_;
    FILE* out_;
    const volatile std::sig_atomic_t* interrupted_;
    Clock::time_point began_;
    std::string label_;
    std::vector<FailedStep> failures_;
    bool record_failure_told_ = false;
};

}  // namespace

bool parse_script_line(const std::string& line, std::vector<ScriptAction>* actions, std::string* error) {
    // A comment runs from a # that begins a word to the end of the line.
    std::string kept = line;
    for (std::size_t hash = kept.find('#'); hash != std::string::npos; hash = kept.find('#', hash + 1)) {
        if (hash == 0 || kept[hash - 1] == ' ' || kept[hash - 1] == '\t') {
            kept.erase(hash);
            break;
        }
    }
    std::istringstream in(kept);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) return true;

    ScriptAction action;
    action.text = kept.substr(kept.find_first_not_of(" \t"));
    while (!action.text.empty() && (action.text.back() == ' ' || action.text.back() == '\t' || action.text.back() == '\r')) {
        action.text.pop_back();
    }
    // Each verb's form, and the word that is wrong, for the reason a line is refused.
    std::string form;
    std::string why;
    if (!parse_action(words, &action, &form, &why)) {
        *error = "'" + action.text + "': " + (form.empty() ? why : form + ": " + why);
        return false;
    }
    actions->push_back(action);
    return true;
}

int run_script(PanelSession& session, const std::vector<ScriptAction>& actions, FILE* out,
               const volatile std::sig_atomic_t* interrupted, bool keep_going) {
    ScriptRun run(session, out, interrupted);
    return run.run(actions, keep_going);
}

std::string stamped(const std::string& event_line) {
    if (event_line.find("\"time\":") != std::string::npos || event_line.empty() || event_line.back() != '}') {
        return event_line;
    }
    return event_line.substr(0, event_line.size() - 1) + ",\"time\":" + json_text(local_time_text(wall_now_us())) + "}";
}

std::string json_started(const PanelSnapshot& shot) {
    if (shot.tap) {
        return "{\"event\":\"started\",\"tap\":true,\"link\":" + json_text(shot.port) +
               ",\"device\":" + json_text(shot.device) + "}";
    }
    return "{\"event\":\"started\",\"port\":" + json_text(shot.port) + ",\"device\":" + json_text(shot.device) +
           ",\"virtual_card\":" + (shot.virtual_card ? "true" : "false") + ",\"settings\":" + json_text(shot.settings) +
           ",\"delay_ms\":" + std::to_string(shot.delay_ms) +
           (delay_note(shot).empty() ? std::string() : ",\"delay_note\":" + json_text(delay_note(shot))) +
           (shot.port_key != 0 ? ",\"port_key\":" + std::to_string(shot.port_key) : std::string()) +
           ",\"trace\":" + json_text(shot.trace_path) + ",\"own_trace\":" + (shot.own_trace ? "true" : "false") +
           ",\"host_cycle_ms\":" + std::to_string(kPanelHostCycleMs) + "}";
}

std::string json_failed(int status, const std::string& error) {
    return "{\"event\":\"start-failed\",\"status\":" + std::to_string(status) + ",\"error\":" + json_text(error) + "}";
}

std::string json_stopped(const PanelSnapshot& shot) {
    return "{\"event\":\"stopped\"" + json_line_fields(shot) + "}";
}

}  // namespace vek::panel
