#include "tests/stories/story.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "tests/shared/text_file.h"

namespace {

// A step that waits for something gives up after this: a bound on a hang, not a measurement, so
// generous for a slow shared machine.
constexpr double kStepBoundMs = 3000;

// The host's command codes, as the host has them.
const std::map<std::string, uint32_t> kCommands = {{"start", 0}, {"stop", 1},        {"reset", 2},
                                                   {"write", 4}, {"create", 0xFFFE}, {"delete", 0xFFFF}};
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
    std::vector<std::string> args;
    std::string arg;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) args.push_back(arg);
            arg.clear();
            any = false;
        } else {
            arg += c;
            any = true;
        }
    }
    if (any) args.push_back(arg);
    return args;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A trace line without its "2026-12-08 15:32:09.060 " stamp.
std::string unstamped(const std::string& line) {
    const char* const shape = "0000-00-00 00:00:00.000 ";
    for (std::size_t i = 0; i < 24; ++i) {
        if (i >= line.size() || (shape[i] == '0' ? !(line[i] >= '0' && line[i] <= '9') : line[i] != shape[i]))
            return line;
    }
    return line.substr(24);
}

std::string hex(const Frame& f) {
    std::string text;
    char b[4];
    for (uint8_t byte : f) {
        std::snprintf(b, sizeof b, " %02X", byte);
        text += b;
    }
    return text.substr(1);
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

// "3", "17-32": the host's entries, numbered from 1.
bool range_of(const std::string& word, unsigned* first, unsigned* last) {
    const std::size_t dash = word.find('-');
    *first = static_cast<unsigned>(std::atoi(word.c_str()));
    *last = dash == std::string::npos ? *first : static_cast<unsigned>(std::atoi(word.c_str() + dash + 1));
    return *first >= 1 && *last >= *first && *last <= 512;
}

// Runs one story on a rig: the state its steps share.
class Teller {
public:
    Teller(const Story& story, Rig& rig) : story_(story), rig_(rig), settings_(rig.folder() + "/host.ini") {}

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

    void step(const std::string& text) {
        const std::vector<std::string> w = words_of(text);
        const std::string& verb = w[0];
        if (rig_.own_step(text, &failure_)) return mark();
        if (verb == "inside" || verb == "model" || text == "free the library") {
            std::printf("        (not for the %s runner)\n", rig_.runner());
        } else if (kCommands.count(verb) != 0 && w.size() >= 2) {
            command(w);
        } else if (verb == "settings") {
            settings(w, text);
        } else if (verb.rfind("COM", 0) == 0) {
            card(static_cast<unsigned>(std::atoi(verb.c_str() + 3)), w, text);
        } else if (verb == "panel" || verb == "status" || verb == "stdout" || verb == "stderr") {
            panel(w, text);
        } else {
            host(w, text);
        }
    }

    // create, start, stop, reset, write, delete N [fails] [not before MS] [within MS]
    void command(const std::vector<std::string>& w) {
        if (!told_.empty()) return void(fail(unheard()));
        const auto number = static_cast<uint32_t>(std::atoi(w[1].c_str()));
        double not_before = 0, bound = -1;
        bool fails = false;
        for (std::size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "fails") fails = true;
            if (w[i] == "within" && i + 1 < w.size()) bound = std::atof(w[i + 1].c_str());
            if (w[i] == "before" && i + 1 < w.size()) not_before = std::atof(w[i + 1].c_str());
        }
        mark();
        const double t0 = now_ms();
        const int32_t result = rig_.call(number, kCommands.at(w[0]), settings_);
        const double took = now_ms() - t0;
        told_ = rig_.told();
        std::printf("        %d in %.0f ms\n", result, took);
        if (!expect(result == (fails ? -1 : 0), "returned " + std::to_string(result))) return;
        if (bound >= 0) expect(took < bound, "took " + std::to_string(static_cast<long>(took)) + " ms");
        expect(took >= not_before, "took only " + std::to_string(static_cast<long>(took)) + " ms");
    }

    // settings N KEY=VALUE... (driver N's section, the others kept) or settings unchanged
    void settings(const std::vector<std::string>& w, const std::string& text) {
        if (w.size() == 2 && w[1] == "unchanged") return void(expect(read_text(settings_) == written_, "it changed"));
        std::string keys;
        for (const std::string& kv : words_of(after_words(text, 2))) keys += kv + "\r\n";
        sections_[std::atoi(w[1].c_str())] = keys;
        written_.clear();
        for (const auto& [number, section] : sections_) {
            written_ += "[korvanex-vek-driver-" + std::to_string(number) + "]\r\n" + section;
        }
        write_text(settings_, written_);
    }

    // What one read of driver N's inputs reported: "" when it was inputs `on` on and the rest off.
    std::string inputs_differ(uint32_t number, const std::vector<int>& on) {
        g_reported.clear();
        const int32_t result = rig_.call(number, kReadInputs, settings_);
        const int32_t first = input_base_ + 16 * static_cast<int32_t>(number);
        bool same = result == 0 && g_reported.size() == 16;
        for (std::size_t k = 0; same && k < 16; ++k) {
            const int32_t want = std::count(on.begin(), on.end(), static_cast<int>(k + 1)) != 0 ? 1 : 0;
            same = g_reported[k].first == first + static_cast<int32_t>(k) && g_reported[k].second == want;
        }
        if (same) return "";
        std::string seen = "returned " + std::to_string(result) + ", " + std::to_string(g_reported.size()) + " calls:";
        for (const auto& [index, value] : g_reported) seen += " " + std::to_string(index) + "=" + std::to_string(value);
        return seen;
    }

    void host(const std::vector<std::string>& w, const std::string& text) {
        const std::string& verb = w[0];
        unsigned first = 0, last = 0;
        if ((verb == "output" || verb == "outputs") && w.size() >= 3 && range_of(w[1], &first, &last)) {
            const auto value = static_cast<uint8_t>(w[2] == "on"    ? 0x40
                                                    : w[2] == "off" ? 0
                                                                    : std::strtoul(w.back().c_str(), nullptr, 16));
            for (unsigned k = first; k <= last; ++k) rig_.outputs()[k - 1] = value;
        } else if (verb == "word" && w.size() == 4) {
            const std::size_t at = std::strtoul(w[1].c_str(), nullptr, 10);
            const auto value = static_cast<uint16_t>(std::strtoul(w[3].c_str(), nullptr, 16));
            if (w[2] == "=")
                rig_.words()[at] = value;
            else if (!within(kStepBoundMs, [&] { return rig_.words()[at] == value; }))
                fail("it is " + std::to_string(rig_.words()[at]));
        } else if (verb == "real" && w.size() == 4) {
            float& real = rig_.reals()[std::strtoul(w[1].c_str(), nullptr, 10)];
            const double value = std::atof(w[3].c_str());
            if (w[2] == "=")
                real = static_cast<float>(value);
            else
                expect(std::fabs(static_cast<double>(real) - value) < 0.001, "it is " + std::to_string(real));
        } else if (text.rfind("input base ", 0) == 0) {
            input_base_ = std::atoi(w[2].c_str());
            rig_.set_input_base(input_base_);
        } else if (verb == "inputs" && w.size() >= 3) {
            inputs(w);
        } else if (verb == "told") {
            // Once: a notice that waits for the user must not come again during the same call.
            const std::string notice = after_words(text, 1);
            const std::size_t at = told_.find(notice);
            const bool once = at != std::string::npos && told_.find(notice, at + 1) == std::string::npos;
            if (expect(once, "the user was told \"" + told_ + "\"")) told_.clear();
        } else if (verb == "wait") {
            pause_ms(std::atof(w[1].c_str()));
        } else if (verb == "note" && w.size() == 4) {
            notes_[w[1] + " " + w[3]] = count(w[1]);
        } else if ((verb == "threads" || verb == "handles") && w.size() == 3) {
            if (notes_.count(verb + " " + w[2]) == 0) return void(fail("nothing was noted as " + w[2]));
            const long want = notes_[verb + " " + w[2]];
            // A thread the driver has let go of may take a moment to be gone from the lists.
            long got = 0;
            if (!within(1000, [&] { return (got = count(verb)) == want; }))
                fail(std::to_string(got) + ", not " + std::to_string(want));
        } else if (verb == "busy" && w.size() == 6) {
            const double c0 = rig_.cpu_ms(), t0 = now_ms();
            pause_ms(std::atof(w[4].c_str()));
            const double share = 100 * (rig_.cpu_ms() - c0) / (now_ms() - t0);
            expect(share < std::atof(w[2].c_str()), std::to_string(static_cast<int>(share)) + "% of a core");
        } else if (verb == "file" && w.size() >= 4) {
            file(w, text);
        } else {
            fail("no such step");
        }
    }

    long count(const std::string& what) { return what == "threads" ? rig_.threads() : rig_.handles(); }

    // inputs N show|still LIST|none, inputs N untouched
    void inputs(const std::vector<std::string>& w) {
        const auto number = static_cast<uint32_t>(std::atoi(w[1].c_str()));
        if (w[2] == "untouched") {
            g_reported.clear();
            const int32_t result = rig_.call(number, kReadInputs, settings_);
            return void(expect(result == 0 && g_reported.empty(), std::to_string(g_reported.size()) + " calls"));
        }
        std::vector<int> on;
        for (std::size_t i = 3; i < w.size() && w[i] != "none"; ++i) on.push_back(std::atoi(w[i].c_str()));
        std::string differ;
        if (w[2] == "still")
            differ = inputs_differ(number, on);
        else
            within(kStepBoundMs, [&] { return (differ = inputs_differ(number, on)).empty(); });
        expect(differ.empty(), differ);
    }

    // file NAME has|lacks TEXT, file NAME line K|last begins|has TEXT
    void file(const std::vector<std::string>& w, const std::string& text) {
        const std::string path = rig_.folder() + "/" + w[1];
        if (w[2] == "has") {
            const std::string part = after_words(text, 3);
            if (!within(kStepBoundMs, [&] { return has(read_text(path), part); })) fail(read_text(path));
            return;
        }
        if (w[2] == "lacks") return void(expect(!has(read_text(path), after_words(text, 3)), read_text(path)));
        const std::vector<std::string> lines = lines_of(read_text(path));
        const std::size_t k = w[3] == "last" ? lines.size() : std::strtoul(w[3].c_str(), nullptr, 10);
        if (!expect(k >= 1 && k <= lines.size(), "it has " + std::to_string(lines.size()) + " lines")) return;
        const std::string line = unstamped(lines[k - 1]), part = after_words(text, 5);
        expect(w[4] == "begins" ? line.rfind(part, 0) == 0 : has(line, part), "it is \"" + line + "\"");
    }

    void card(unsigned port, const std::vector<std::string>& w, const std::string& text) {
        const std::string what = w.size() > 1 ? w[1] : "";
        Frame f{};
        if (what == "receives" && frame_at(w, 2, &f)) {
            const auto seen = [&] {
                for (const CardFrame& got : since_mark(port, false)) {
                    if (got.bytes == f) return true;
                }
                return false;
            };
            if (!within(kStepBoundMs, seen)) {
                const std::vector<CardFrame> since = since_mark(port, false);
                fail("it never came; " + std::to_string(since.size()) + " others did" +
                     (since.empty() ? "" : ", the last " + hex(since.back().bytes)));
            }
        } else if (what == "last" && w.size() > 3 && frame_at(w, 3, &f)) {
            // A frame that left before the call returned: the card may still be logging it.
            std::vector<CardFrame> all;
            within(1000, [&] { return !(all = rig_.frames(port)).empty() && all.back().bytes == f; });
            expect(!all.empty() && all.back().bytes == f,
                   all.empty() ? "none came" : "it was " + hex(all.back().bytes));
        } else if (what == "quiet") {
            const std::size_t n = rig_.frames(port).size();
            pause_ms(300);  // several cycles of a poll thread that would still be running
            expect(rig_.frames(port).size() == n, "more frames came");
        } else if (what == "got") {
            got(port, w);
        } else if (what == "first" && frame_at(w, 3, &f)) {
            std::vector<CardFrame> since;
            within(kStepBoundMs, [&] { return !(since = since_mark(port, false)).empty(); });
            expect(!since.empty() && since.front().bytes == f,
                   since.empty() ? "none came" : "it was " + hex(since.front().bytes));
        } else if (what == "gaps" && w.size() > 5) {
            gaps(port, std::strtoul(w[3].c_str(), nullptr, 10), after_words(text, 5));
        } else if (what == "all-off" && frame_at(w, 3, &f)) {
            // all-off since FRAME, at least N: every frame after the last FRAME is the all-off frame.
            const std::vector<CardFrame> all = rig_.frames(port);
            std::size_t from = 0, off = 0;
            for (std::size_t i = 0; i < all.size(); ++i)
                if (all[i].bytes == f) from = i + 1;
            for (std::size_t i = from; i < all.size(); ++i) {
                if (!expect(all[i].bytes == kAllOff, "then came " + hex(all[i].bytes))) return;
                ++off;
            }
            expect(off >= std::strtoul(w.back().c_str(), nullptr, 10), std::to_string(off) + " came");
        } else if (what == "status" && w.size() > 2 && w[2] == "has") {
            const std::string reply = rig_.card(port, "status");
            expect(has(reply, after_words(text, 3)), reply);
        } else {
            const std::string reply = rig_.card(port, after_words(text, 1));
            expect(reply.rfind("ok", 0) == 0, "the card replied \"" + reply + "\"");
            mark();
        }
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
        std::size_t seen = 0;
        // Frames sent before the call returned may still be on their way into the card's log.
        if (!most)
            within(least    ? kStepBoundMs
                   : n == 0 ? 0
                            : 1000,
                   [&] { return (seen = since_mark(port, in_all).size()) >= n; });
        seen = since_mark(port, in_all).size();
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
    std::string failure_;
    std::string told_;
    std::string written_;
    std::map<int, std::string> sections_;
    std::map<unsigned, std::size_t> marks_;
    std::map<std::string, long> notes_;
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
