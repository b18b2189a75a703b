#include "tests/stories/story.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iomanip>
#include <map>
#include <sstream>
#include <thread>

#include "tests/shared/text_file.h"

namespace {

// A step that waits for something gives up after this: a bound on a hang, not a measurement, so
// generous for a slow shared machine.
constexpr double kStepBoundMs = 3000;

// The host's command codes, as the host has them; 5, 6 and DRV_CONFIGURE have steps of their own.
const std::map<std::string, uint32_t> kCommands = {{"start", 0},       {"stop", 1},       {"reset", 2},
                                                   {"read", 3},        {"write", 4},      {"attach", 0xFFFB},
                                                   {"save", 0xFFFC},   {"create", 0xFFFE}, {"delete", 0xFFFF}};
const uint32_t kTable[] = {0, 1, 2, 3, 4, 5, 6, 0xFFFB, 0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF};
constexpr uint32_t kReadInputs = 3;

using Frame = std::array<uint8_t, 7>;
const Frame kAllOff{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};

std::vector<std::pair<int32_t, int32_t>> g_reported;

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void pause_ms(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

// Until done() or bound_ms; whether it was done.
bool within(double bound_ms, const std::function<bool()>& done) {
    for (const double give_up = now_ms() + bound_ms;; pause_ms(5)) {
        if (done()) return true;
        if (now_ms() > give_up) return false;
    }
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The text after the first n words, as written.
std::string after_words(const std::string& text, std::size_t n) {
    std::size_t at = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string::npos) return "";
        if (i < n) at = text.find(' ', at);
    }
    return text.substr(at);
}

// Words as a shell would split them: "double quotes" hold spaces.
std::vector<std::string> arguments_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> args;
    for (std::string arg; in >> std::quoted(arg);) args.push_back(arg);
    return args;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A file's text as a story writes it: "\r" and "\n" stand for CR and LF, "\bom" for a UTF-8
// byte-order mark.
std::string unescaped(std::string text) {
    for (const auto& [from, to] : {std::pair<const char*, const char*>{"\\r", "\r"}, {"\\n", "\n"},
                                   {"\\bom", "\xEF\xBB\xBF"}}) {
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; ++at) text.replace(at, std::strlen(from), to);
    }
    return text;
}

std::string hex(const Frame& f) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X %02X %02X %02X", f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    return text;
}

// Seven hex bytes from words[at], or the word all-off.
bool frame_at(const std::vector<std::string>& words, std::size_t at, Frame* f) {
    if (at < words.size() && words[at] == "all-off") {
        *f = kAllOff;
        return true;
    }
    if (at + 7 > words.size()) return false;
    for (std::size_t i = 0; i < 7; ++i)
        (*f)[i] = static_cast<uint8_t>(std::strtoul(words[at + i].c_str(), nullptr, 16));
    return true;
}

// "3", "17-32": entries of the host's tables, outputs numbered from 1, words and reals from 0.
bool range_of(const std::string& word, unsigned lowest, unsigned* first, unsigned* last) {
    const std::size_t dash = word.find('-');
    *first = static_cast<unsigned>(std::atoi(word.c_str()));
    *last = dash == std::string::npos ? *first : static_cast<unsigned>(std::atoi(word.c_str() + dash + 1));
    return *first >= lowest && *last >= *first && *last < 512 + lowest;
}

uint32_t number_of(const std::string& word) { return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 0)); }

// A record of the host's for one instance, as the host lays it out: its own bytes, which the
// driver must leave alone, and the slot the driver writes at 260.
struct Record {
    alignas(4) unsigned char bytes[264];
    Record() { std::memset(bytes, 0x5A, sizeof bytes); }
    uint32_t slot() const {
        uint32_t slot;
        return std::memcpy(&slot, bytes + 260, 4), slot;
    }
    void set_slot(uint32_t slot) { std::memcpy(bytes + 260, &slot, 4); }
};

// How a command reaches DriverEntry, from the words after its number: record R (the record the
// number names unless told), no record, no host, no path, empty path; and what it must do.
struct Call {
    std::string record;
    bool host = true;
    int path = 0;  // 0 the story's settings file, 1 none, 2 an empty one
    bool fails = false;
    double bound = -1, not_before = 0;
};

Call call_of(const std::vector<std::string>& w, std::size_t from) {
    Call c;
    c.record = w[from - 1];
    for (std::size_t i = from; i < w.size(); ++i) {
        const std::string next = i + 1 < w.size() ? w[i + 1] : "";
        if (w[i] == "fails") c.fails = true;
        if (w[i] == "within") c.bound = std::atof(next.c_str());
        if (w[i] == "before") c.not_before = std::atof(next.c_str());
        if (w[i] == "record") c.record = next;
        if (w[i] == "no" && next == "record") c.record.clear();
        if (w[i] == "no" && next == "host") c.host = false;
        if ((w[i] == "no" || w[i] == "empty") && next == "path") c.path = w[i] == "no" ? 1 : 2;
        if (w[i] == "record" || w[i] == "no" || w[i] == "empty") ++i;
    }
    return c;
}

// Runs one story on a rig: the state its steps share.
class Teller {
public:
    Teller(const Story& story, Rig& rig)
        : story_(story), rig_(rig), settings_(rig.folder() + "/host.ini"), host_(rig.host_bytes()) {}

    std::string run(std::size_t first) {
        for (std::size_t i = first; i < story_.steps.size(); ++i) {
            const auto& [line, written] = story_.steps[i];
            std::string text = written;
            for (std::size_t at; (at = text.find("{folder}")) != std::string::npos;) text.replace(at, 8, rig_.folder());
            std::printf("  %4d  %s\n", line, text.c_str());
            failure_.clear();
            step(text);
            if (!failure_.empty()) return "line " + std::to_string(line) + ": " + text + ": " + failure_;
            if (text == "exit") break;
        }
        return unheard();
    }

private:
    bool fail(const std::string& why) {
        if (failure_.empty()) failure_ = why;
        return false;
    }
    bool expect(bool ok, const std::string& why) { return ok || fail(why); }

    // What the driver told the user that no "told" step has heard.
    std::string unheard() { return told_.empty() ? "" : "the user was told \"" + told_ + "\" and no step expected it"; }

    void mark() {
        for (unsigned port : story_.ports) marks_[port] = rig_.frames(port).size();
    }
    std::vector<CardFrame> since_mark(unsigned port, bool in_all) {
        std::vector<CardFrame> all = rig_.frames(port);
        const std::size_t from = in_all ? 0 : std::min(marks_[port], all.size());
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }

    void* record(const std::string& name) { return name.empty() ? nullptr : records_[name].bytes; }
    int32_t drive(uint32_t number, uint32_t code, const Call& c) {
        const char* path = c.path == 0 ? settings_.c_str() : c.path == 1 ? nullptr : "";
        return rig_.call(number, code, c.host, record(c.record), path);
    }

    void step(const std::string& text) {
        const std::vector<std::string> w = words_of(text);
        const std::string& verb = w[0];
        const bool for_a_runner = verb == "native:" || verb == "wine:";
        if (for_a_runner && verb == std::string(rig_.runner()) + ":") return step(after_words(text, 1));
        if (!for_a_runner && rig_.own_step(text, &failure_)) return mark();
        if (for_a_runner || verb == "inside" || verb == "model" || text == "free the library")
            return void(std::printf("        (not for the %s runner)\n", rig_.runner()));
        if ((kCommands.count(verb) != 0 && w.size() >= 2) || (verb == "command" && w.size() >= 3)) return command(w);
        if (verb == "configure" && w.size() >= 3) return configure(w, text);
        if (verb == "every" && w.size() >= 6) return every(w);
        if (verb == "record" && w.size() == 5) return slot_step(w);
        if (verb == "settings") return settings(w, text);
        if (verb == "file" && w.size() >= 3) return file(w, text);
        if (verb.rfind("COM", 0) == 0) return card(static_cast<unsigned>(std::atoi(verb.c_str() + 3)), w, text);
        if (verb == "panel" || verb == "status" || verb == "stdout" || verb == "stderr") return panel(w, text);
        host(w, text);
    }

    // VERB N [options], command CODE N [options]: it must return 0, or -1 with fails.
    void command(const std::vector<std::string>& w) {
        if (!told_.empty()) return void(fail(unheard()));
        const bool raw = w[0] == "command";
        const uint32_t code = raw ? number_of(w[1]) : kCommands.at(w[0]);
        const Call c = call_of(w, raw ? 3 : 2);
        mark();
        const double t0 = now_ms();
        const int32_t result = drive(number_of(w[raw ? 2 : 1]), code, c);
        const double took = now_ms() - t0;
        told_ = rig_.told();
        std::printf("        %d in %.0f ms\n", result, took);
        if (!expect(result == (c.fails ? -1 : 0), "returned " + std::to_string(result))) return;
        if (c.bound >= 0) expect(took < c.bound, "took " + std::to_string(static_cast<long>(took)) + " ms");
        expect(took >= c.not_before, "took only " + std::to_string(static_cast<long>(took)) + " ms");
    }

    // configure N fails (nobody could be shown the dialog), or
    // configure N shows V[, type TEXT| clear], OK|Cancel|close: 1 after OK, 2 otherwise
    void configure(const std::vector<std::string>& w, const std::string& text) {
        DialogUser user;
        std::istringstream parts(after_words(text, 2));
        for (std::string part; std::getline(parts, part, ',');) {
            const std::vector<std::string> p = words_of(part);
            if (p.size() == 2 && p[0] == "shows") user.shown = p[1];
            if (!p.empty() && (p[0] == "type" || p[0] == "clear")) user.leave = false;
            if (p.size() >= 2 && p[0] == "type") user.typed = after_words(part, 1);
            if (p.size() == 1 && p[0] != "clear") user.press = p[0];
        }
        const bool nobody = w[2] == "fails";
        mark();
        const int32_t end = rig_.configure(number_of(w[1]), record(w[1]), settings_.c_str(),
                                           nobody ? nullptr : &user, &failure_);
        std::printf("        %d\n", end);
        expect(end == (nobody ? -1 : user.press == "OK" ? 1 : 2), "returned " + std::to_string(end));
    }

    // every unknown code fails on R: each code up to 0x2FFFF that is not a command, and each
    // command with an upper bit or all of them set; every command fails on slot S... (each a
    // record of its own), every command fails on no record. Each must return -1, and a record
    // keep its slot.
    void every(const std::vector<std::string>& w) {
        const bool unknown = w[1] == "unknown";
        std::vector<uint32_t> codes;
        std::vector<std::string> names;
        for (uint32_t code = 0; unknown && code <= 0x2FFFF; ++code) {
            if (std::find(std::begin(kTable), std::end(kTable), code) == std::end(kTable)) codes.push_back(code);
        }
        for (const uint32_t command : kTable) {
            for (int bit = 16; unknown && bit < 33; ++bit)
                codes.push_back(command | (bit < 32 ? 1U << bit : 0xFFFF0000U));
            if (!unknown) codes.push_back(command);
        }
        if (unknown || w[4] == "no") names.push_back(unknown ? w[5] : "");
        for (std::size_t i = 5; !unknown && w[4] == "slot" && i < w.size(); ++i) {
            names.push_back("slot " + w[i]);
            records_[names.back()].set_slot(number_of(w[i]));
        }
        mark();
        long wrong = 0, calls = 0;
        for (const std::string& name : names) {
            const uint32_t slot = name.empty() ? 0 : records_[name].slot();
            for (const uint32_t code : codes) {
                // Create and attach write the slot, and never read it.
                if (!name.empty() && !unknown && (code == 0xFFFE || code == 0xFFFB)) continue;
                wrong += drive(77, code, Call{name}) != -1 ? 1 : 0;
                ++calls;
            }
            const uint32_t now = name.empty() ? 0 : records_[name].slot();
            expect(now == slot, name + " now says slot " + std::to_string(now));
        }
        std::printf("        %ld calls\n", calls);
        expect(wrong == 0, std::to_string(wrong) + " did not fail");
    }

    // record R slot = S, record R slot is S
    void slot_step(const std::vector<std::string>& w) {
        const uint32_t slot = number_of(w[4]);
        if (w[3] == "=") return records_[w[1]].set_slot(slot);
        expect(w[2] == "slot" && records_[w[1]].slot() == slot, "it says slot " + std::to_string(records_[w[1]].slot()));
    }

    // settings N|SECTION KEY=VALUE... (that section of the host's settings file, the others
    // kept; N a driver number), or settings unchanged
    void settings(const std::vector<std::string>& w, const std::string& text) {
        if (w.size() < 2) return void(fail("no such step"));
        if (w.size() == 2 && w[1] == "unchanged") return void(expect(read_text(settings_) == written_, "it changed"));
        const bool number = w[1].find_first_not_of("0123456789") == std::string::npos;
        const std::string header = "[" + (number ? "korvanex-vek-driver-" + w[1] : w[1]) + "]\r\n";
        std::string keys;
        for (const std::string& kv : words_of(after_words(text, 2))) keys += kv + "\r\n";
        sections_[header] = keys;
        written_.clear();
        for (const auto& [name, section] : sections_) written_ += name + section;
        write_text(settings_, written_);
    }

    // What one read of driver N's inputs reported, unless it was inputs `on` on and the rest off
    // at its sixteen entries, or for no entries (on null) nothing at all.
    std::string inputs_differ(const std::string& n, const std::vector<int>* on) {
        g_reported.clear();
        const int32_t result = drive(number_of(n), kReadInputs, Call{n});
        const int32_t first = input_base_ + 16 * static_cast<int32_t>(number_of(n));
        bool same = result == 0 && g_reported.size() == (on != nullptr ? 16 : 0);
        for (std::size_t k = 0; same && k < g_reported.size(); ++k) {
            const int32_t want = std::count(on->begin(), on->end(), static_cast<int>(k + 1)) != 0 ? 1 : 0;
            same = g_reported[k].first == first + static_cast<int32_t>(k) && g_reported[k].second == want;
        }
        if (same) return "";
        std::string seen = "returned " + std::to_string(result) + ", " + std::to_string(g_reported.size()) + " calls:";
        for (const auto& [index, value] : g_reported) seen += " " + std::to_string(index) + "=" + std::to_string(value);
        return seen;
    }

    // The host's tables as bytes.
    std::string tables() {
        return std::string(reinterpret_cast<const char*>(rig_.outputs()), 512) +
               std::string(reinterpret_cast<const char*>(rig_.words()), 1024) +
               std::string(reinterpret_cast<const char*>(rig_.reals()), 2048);
    }

    void host(const std::vector<std::string>& w, const std::string& text) {
        const std::string& verb = w[0];
        unsigned first = 0, last = 0;
        if ((verb == "output" || verb == "outputs") && w.size() >= 3 && range_of(w[1], 1, &first, &last)) {
            const auto value = static_cast<uint8_t>(w[2] == "on"    ? 0x40
                                                    : w[2] == "off" ? 0
                                                                    : std::strtoul(w.back().c_str(), nullptr, 16));
            for (unsigned k = first; k <= last; ++k) rig_.outputs()[k - 1] = value;
        } else if ((verb == "word" || verb == "real") && w.size() == 4 && range_of(w[1], 0, &first, &last)) {
            entries(verb, first, last, w[2] == "=", w[3]);
        } else if (text.rfind("input base ", 0) == 0) {
            input_base_ = std::atoi(w[2].c_str());
            rig_.set_input_base(input_base_);
            host_ = rig_.host_bytes();
        } else if (verb == "inputs" && w.size() >= 3) {
            inputs(w);
        } else if (verb == "told") {
            // Once: a notice that waits for the user must not come again during the same call.
            const std::string notice = after_words(text, 1);
            const std::size_t at = told_.find(notice);
            const bool once = at != std::string::npos && told_.find(notice, at + 1) == std::string::npos;
            if (expect(once, "the user was told \"" + told_ + "\"")) told_.clear();
        } else if (verb == "saved" && w.size() == 4) {
            const std::string value = rig_.saved(settings_, number_of(w[1]));
            expect(value == (w[3] == "none" ? "" : w[3]), "it is \"" + value + "\"");
        } else if (verb == "delay" && w.size() == 4) {
            // What DRV_SAVE_SETTINGS writes through the record, to a file of its own.
            const std::string seen = rig_.folder() + "/seen.ini";
            std::remove(seen.c_str());
            const int32_t result = rig_.call(number_of(w[1]), 0xFFFC, true, record(w[1]), seen.c_str());
            const std::string value = rig_.saved(seen, number_of(w[1]));
            expect(result == 0 && value == w[3], "returned " + std::to_string(result) + ", saved \"" + value + "\"");
        } else if (text == "host bytes intact") {
            expect(rig_.host_bytes() == host_, "the host's record changed");
            for (const auto& [name, r] : records_)
                expect(std::count(r.bytes, r.bytes + 260, 0x5A) == 260, "record " + name + " changed beyond its slot");
        } else if (verb == "wait") {
            pause_ms(std::atof(w[1].c_str()));
        } else {
            watch(w);
        }
    }

    // word K[-L] = HHHH, word K becomes HHHH, real K[-L] = V, real K is V
    void entries(const std::string& verb, unsigned first, unsigned last, bool set, const std::string& value) {
        const double real = std::atof(value.c_str());
        const auto word = static_cast<uint16_t>(std::strtoul(value.c_str(), nullptr, 16));
        for (unsigned k = first; set && k <= last; ++k) {
            if (verb == "word") rig_.words()[k] = word;
            if (verb == "real") rig_.reals()[k] = static_cast<float>(real);
        }
        if (set) return;
        if (verb == "real") {
            const float seen = rig_.reals()[first];
            return void(expect(std::fabs(static_cast<double>(seen) - real) < 0.001, "it is " + std::to_string(seen)));
        }
        if (!within(kStepBoundMs, [&] { return rig_.words()[first] == word; }))
            fail("it is " + std::to_string(rig_.words()[first]));
    }

    // note threads|handles|tables as LABEL, threads|handles|tables as LABEL, threads|handles as LABEL
    // up to N more|down to N fewer, busy below P% over MS
    void watch(const std::vector<std::string>& w) {
        const std::string& verb = w[0];
        if (verb == "note" && w.size() == 4) {
            noted_[w[1] + " " + w[3]] = w[1] == "tables" ? tables() : std::to_string(count(w[1]));
        } else if (verb == "tables" && w.size() == 3) {
            expect(noted_.count("tables " + w[2]) != 0 && tables() == noted_["tables " + w[2]], "they changed");
        } else if ((verb == "threads" || verb == "handles") &&
                   (w.size() == 3 || (w.size() == 7 && (w[3] == "up" || w[3] == "down")))) {
            if (noted_.count(verb + " " + w[2]) == 0) return void(fail("nothing was noted as " + w[2]));
            const long want = std::atol(noted_[verb + " " + w[2]].c_str());
            const long slack = w.size() == 7 ? std::atol(w[5].c_str()) : 0;
            const long low = w.size() == 7 && w[3] == "down" ? want - slack : want;
            const long high = w.size() == 7 && w[3] == "up" ? want + slack : want;
            // A thread the driver has let go of may take a moment to be gone from the lists.
            long got = 0;
            if (!within(1000, [&] { return (got = count(verb)) >= low && got <= high; }))
                fail(std::to_string(got) + ", not " + std::to_string(want) +
                     (low != high ? " (" + std::to_string(low) + " to " + std::to_string(high) + ")" : ""));
        } else if (verb == "busy" && w.size() == 6) {
            const double c0 = rig_.cpu_ms(), t0 = now_ms();
            pause_ms(std::atof(w[4].c_str()));
            const double share = 100 * (rig_.cpu_ms() - c0) / (now_ms() - t0);
            expect(share < std::atof(w[2].c_str()), std::to_string(static_cast<int>(share)) + "% of a core");
        } else {
            fail("no such step");
        }
    }

    long count(const std::string& what) { return what == "threads" ? rig_.threads() : rig_.handles(); }

    // inputs N show|still LIST|none, inputs N untouched; show waits for it
    void inputs(const std::vector<std::string>& w) {
        std::vector<int> on;
        for (std::size_t i = 3; i < w.size() && w[i] != "none"; ++i) on.push_back(std::atoi(w[i].c_str()));
        std::string differ;
        within(w[2] == "show" ? kStepBoundMs : 0,
               [&] { return (differ = inputs_differ(w[1], w[2] == "untouched" ? nullptr : &on)).empty(); });
        expect(differ.empty(), differ);
    }

    // file NAME = TEXT, file NAME += TEXT, file NAME is|has|lacks TEXT, file NAME absent,
    // file NAME line K|last begins|has TEXT; "\r" and "\n" in TEXT stand for CR and LF
    void file(const std::vector<std::string>& w, const std::string& text) {
        const std::string path = rig_.folder() + "/" + w[1], part = unescaped(after_words(text, 3)), how = w[2];
        if (how == "=" || how == "+=") return write_text(path, (how == "=" ? "" : read_text(path)) + part);
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f != nullptr) std::fclose(f);
        if (how == "absent") return void(expect(f == nullptr, read_text(path)));
        if (how == "is") return void(expect(f != nullptr && read_text(path) == part, read_text(path)));
        if (how == "lacks") return void(expect(!has(read_text(path), part), read_text(path)));
        if (how == "has") return void(within(kStepBoundMs, [&] { return has(read_text(path), part); }) ||
                                      fail(read_text(path)));
        const std::vector<std::string> lines = lines_of(read_text(path));
        if (w.size() < 5) return void(fail("no such step"));
        const std::size_t k = w[3] == "last" ? lines.size() : std::strtoul(w[3].c_str(), nullptr, 10);
        if (!expect(k >= 1 && k <= lines.size(), "it has " + std::to_string(lines.size()) + " lines")) return;
        // A trace line is read without its time stamp.
        const std::string line = lines[k - 1].substr(starts_with_time(lines[k - 1]) ? 24 : 0);
        const std::string begins = unescaped(after_words(text, 5));
        expect(w[4] == "begins" ? line.rfind(begins, 0) == 0 : has(line, begins), "it is \"" + line + "\"");
    }

    void card(unsigned port, const std::vector<std::string>& w, const std::string& text) {
        const std::string what = w.size() > 1 ? w[1] : "";
        Frame f{};
        if (what == "receives" && frame_at(w, 2, &f)) {
            const auto seen = [&] {
                const std::vector<CardFrame> since = since_mark(port, false);
                return std::any_of(since.begin(), since.end(), [&](const CardFrame& got) { return got.bytes == f; });
            };
            if (within(kStepBoundMs, seen)) return;
            const std::vector<CardFrame> since = since_mark(port, false);
            fail("it never came; " + std::to_string(since.size()) + " others did" +
                 (since.empty() ? "" : ", the last " + hex(since.back().bytes)));
        } else if ((what == "last" || what == "first") && frame_at(w, 3, &f)) {
            // A frame that left before the call returned: the card may still be logging it.
            const bool last = what == "last";
            std::vector<CardFrame> seen;
            const auto end = [&] { return last ? seen.back().bytes : seen.front().bytes; };
            within(last ? 1000 : kStepBoundMs, [&] {
                seen = since_mark(port, last);
                return !seen.empty() && (!last || end() == f);
            });
            expect(!seen.empty() && end() == f, seen.empty() ? "none came" : "it was " + hex(end()));
        } else if (what == "quiet") {
            const std::size_t n = rig_.frames(port).size();
            pause_ms(300);  // several cycles of a poll thread that would still be running
            expect(rig_.frames(port).size() == n, "more frames came");
        } else if (what == "got") {
            got(port, w);
        } else if (what == "gaps" && w.size() > 5) {
            gaps(port, std::strtoul(w[3].c_str(), nullptr, 10), after_words(text, 5));
        } else if (what == "all-off" && frame_at(w, 3, &f)) {
            all_off(port, f, std::strtoul(w.back().c_str(), nullptr, 10));
        } else if (what == "status" && w.size() > 2 && w[2] == "has") {
            const std::string reply = rig_.card(port, "status");
            expect(has(reply, after_words(text, 3)), reply);
        } else {
            const std::string reply = rig_.card(port, after_words(text, 1));
            expect(reply.rfind("ok", 0) == 0, "the card replied \"" + reply + "\"");
            mark();
        }
    }

    // all-off since FRAME, at least N: every frame after the last FRAME is the all-off frame.
    void all_off(unsigned port, const Frame& f, std::size_t least) {
        const std::vector<CardFrame> all = rig_.frames(port);
        std::size_t from = 0;
        for (std::size_t i = 0; i < all.size(); ++i) from = all[i].bytes == f ? i + 1 : from;
        for (std::size_t i = from; i < all.size(); ++i) {
            if (!expect(all[i].bytes == kAllOff, "then came " + hex(all[i].bytes))) return;
        }
        expect(all.size() - from >= least, std::to_string(all.size() - from) + " came");
    }

    // gaps over N frames: at least A ms, median at most B ms: the times between the frames since
    // the mark, once N have come.
    void gaps(unsigned port, std::size_t n, const std::string& limits) {
        std::vector<CardFrame> since;
        within(kStepBoundMs + 250.0 * static_cast<double>(n),
               [&] { return (since = since_mark(port, false)).size() >= n; });
        if (!expect(since.size() >= n, std::to_string(since.size()) + " frames came")) return;
        std::vector<double> gaps;
        for (std::size_t i = 1; i < since.size(); ++i) gaps.push_back(since[i].ms - since[i - 1].ms);
        std::sort(gaps.begin(), gaps.end());
        const double least = gaps.front(), median = gaps[gaps.size() / 2];
        std::printf("        least %.1f ms, median %.1f ms\n", least, median);
        std::istringstream clauses(limits);
        for (std::string clause; std::getline(clauses, clause, ',');) {
            const std::vector<std::string> c = words_of(clause);
            const double limit = std::atof(c[c.size() - 2].c_str());
            if (c[0] == "median")
                expect(median <= limit, "the median was " + std::to_string(median) + " ms");
            else
                expect(least >= limit, "a gap was " + std::to_string(least) + " ms");
        }
    }

    // got [at least|at most] N frame(s) [in all]: since the last command, or since the card began
    void got(unsigned port, const std::vector<std::string>& w) {
        const bool least = w[2] == "at" && w[3] == "least", most = w[2] == "at" && w[3] == "most";
        const std::size_t n = std::strtoul(w[least || most ? 4 : 2].c_str(), nullptr, 10);
        const bool in_all = w.back() == "all";
        // Frames sent before the call returned may still be on their way into the card's log.
        const double wait = most || n == 0 ? 0 : least ? kStepBoundMs : 1000;
        within(wait, [&] { return since_mark(port, in_all).size() >= n; });
        const std::size_t seen = since_mark(port, in_all).size();
        expect(least ? seen >= n : most ? seen <= n : seen == n, std::to_string(seen) + " came");
    }

    // panel ARGS; then status N, stdout|stderr has|lacks TEXT, stdout empty
    void panel(const std::vector<std::string>& w, const std::string& text) {
        if (w[0] == "panel") {
            std::vector<std::string> args = arguments_of(after_words(text, 1));
            if (std::find(args.begin(), args.end(), "--settings") == args.end())
                args.insert(args.begin(), {"--settings", settings_});
            mark();
            run_ = rig_.panel(args);
            std::printf("        status %d\n", run_.status);
            return;
        }
        if (w[0] == "status")
            return void(expect(run_.status == std::atoi(w[1].c_str()),
                               "it was " + std::to_string(run_.status) + "; " + run_.err));
        const std::string& out = w[0] == "stdout" ? run_.out : run_.err;
        if (w[1] == "empty") return void(expect(out.empty(), out));
        if (w[1] == "last") {  // stdout last line has TEXT
            const std::vector<std::string> lines = lines_of(out);
            return void(expect(!lines.empty() && has(lines.back(), after_words(text, 4)), out));
        }
        const bool holds = has(out, after_words(text, 2));
        expect(w[1] == "has" ? holds : !holds, out);
    }

    const Story& story_;
    Rig& rig_;
    const std::string settings_;
    std::string host_;  // the host's record as it must stay
    std::string failure_;
    std::string told_;
    std::string written_;
    std::map<std::string, std::string> sections_;
    std::map<std::string, Record> records_;
    std::map<unsigned, std::size_t> marks_;
    std::map<std::string, std::string> noted_;
    int32_t input_base_ = 0;
    PanelResult run_;
};

// The steps with every include and repeat laid out.
bool lay_out(const std::vector<Story>& all, const std::vector<std::pair<int, std::string>>& steps, int depth,
             std::vector<std::pair<int, std::string>>* out, std::string* error) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [line, text] = steps[i];
        if (text.rfind("include ", 0) == 0) {
            const std::string name = text.substr(8);
            const auto piece = std::find_if(all.begin(), all.end(), [&](const Story& s) { return s.name == name; });
            if (piece == all.end() || depth > 4)
                return *error = "line " + std::to_string(line) + ": no story " + name, false;
            if (!lay_out(all, piece->steps, depth + 1, out, error)) return false;
        } else if (text.rfind("repeat ", 0) == 0) {
            const auto end = std::find_if(steps.begin() + static_cast<std::ptrdiff_t>(i), steps.end(),
                                          [](const auto& s) { return s.second == "end"; });
            if (end == steps.end()) return *error = "line " + std::to_string(line) + ": repeat without end", false;
            const std::vector<std::pair<int, std::string>> body(steps.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                                end);
            for (int k = std::atoi(text.c_str() + 7); k > 0; --k) {
                if (!lay_out(all, body, depth, out, error)) return false;
            }
            i = static_cast<std::size_t>(end - steps.begin());
        } else {
            out->push_back(steps[i]);
        }
    }
    return true;
}

}  // namespace

bool Story::runs_on(const std::string& runner) const {
    return std::find(runners.begin(), runners.end(), runner) != runners.end();
}

void story_set_input(int32_t index, int32_t value) { g_reported.emplace_back(index, value); }

std::vector<Story> read_stories(const std::string& path, std::string* error) {
    std::vector<Story> stories;
    const std::string text = read_text(path);
    if (text.empty()) return *error = "cannot read " + path, stories;
    int number = 0;
    for (std::string line : lines_of(text)) {
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        const std::vector<std::string> w = words_of(line);
        if (w.empty() || w[0][0] == '#') continue;
        if (w[0] == "story" && w.size() >= 2 && w[1].back() == ':') {
            stories.push_back({w[1].substr(0, w[1].size() - 1), {w.begin() + 2, w.end()}, {}, {}});
        } else if (stories.empty()) {
            return *error = path + " line " + std::to_string(number) + ": a step before any story",
                   std::vector<Story>{};
        } else if (w[0] == "cards") {
            for (std::size_t i = 1; i < w.size(); ++i)
                stories.back().ports.push_back(static_cast<unsigned>(std::atoi(w[i].c_str() + 3)));
        } else {
            stories.back().steps.emplace_back(number, line);
        }
    }
    for (Story& story : stories) {
        std::vector<std::pair<int, std::string>> steps;
        if (!lay_out(stories, story.steps, 0, &steps, error)) return {};
        story.steps = steps;
    }
    return stories;
}

std::string run_story(const Story& story, Rig& rig, std::size_t first) { return Teller(story, rig).run(first); }

std::size_t exit_step(const Story& story) {
    for (std::size_t i = 0; i < story.steps.size(); ++i) {
        if (story.steps[i].second == "exit") return i;
    }
    return story.steps.size();
}
