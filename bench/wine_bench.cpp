// The real DLL's speed under Wine, against a virtual card that paces its line as 115200 baud
// would. A 32-bit stand-in for the host loads the DLL and drives it through DriverEntry;
// wine_bench.sh puts the cards on the prefix's ports and runs one step per setup, each adding its
// figures to a file, and the last step prints them as a table and as JSON. Figures, not a test.
// VEK_WINDOWS_MODEL puts a model of Windows' timers and serial drivers between the DLL and Wine
// (tests/shared/windows_model.h).
//
//   wine_bench.exe cycles CARD_LOG FIGURES [quick]   card on COM3: cycle periods at each delay
//   wine_bench.exe cpu CARD_LOG FIGURES SECONDS      card on COM3: CPU while polling at 50 ms
//   wine_bench.exe discover NAME FIGURES REPEATS [PORT]
//                                                    the time DRV_START takes to find the card,
//                                                    scanning or, with PORT, on that port alone
//   wine_bench.exe latency CARD FIGURES [quick]      card on COM3: input change to DRV_READ_INPUTS
//   wine_bench.exe replug CARD FIGURES [quick]       card on COM3: replug to fresh inputs
//   wine_bench.exe lost CARD FIGURES SECONDS SERVER_PID TICKS
//                                                    card on COM3, pulled: CPU and wake-ups
//   wine_bench.exe trace CARD FIGURES [quick]        card on COM3: the trace's cost at delay 0
//   wine_bench.exe trace-frames CARD FIGURES [quick] a fresh card on COM3: every frame traced
//     CARD is the card's files without their extension: CARD.log, CARD.ctl (its control FIFO)
//     and CARD.out (its replies).
//   wine_bench.exe report FIGURES [JSON]             the table and the JSON
//   wine_bench.exe stay-idle FLAG                    keeps the prefix's services up
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "tests/shared/card_files.h"
#include "tests/shared/windows_model.h"
#include "tests/shared/wine_host.h"

namespace {

constexpr uint32_t kStart = 0;
constexpr uint32_t kStop = 1;
constexpr uint32_t kReadInputs = 3;
constexpr uint32_t kCreate = 0xFFFE;
constexpr uint32_t kDelete = 0xFFFF;

// The configuration file every call names, beside the figures.
std::string g_ini;

struct Session {
    Driver driver;
    RawDriverRecord rec;

    // `more_keys` are further lines of the instance's section, each ending in CR LF.
    bool create(uint32_t delay_ms, const std::string& more_keys = "") {
        const std::string text = "[korvanex-vek-driver-0]\r\ndelay=" + std::to_string(delay_ms) + "\r\n" + more_keys;
        write_text(g_ini, text.c_str());
        rec = RawDriverRecord{};
        return driver.call(0, kCreate, &rec, g_ini) == 0;
    }
    int32_t call(uint32_t command) { return driver.call(0, command, &rec, g_ini); }
};

// The times (card's clock, ms) of the valid frames in the card's log so far.
std::vector<double> frame_times(const std::string& log) {
    std::vector<double> times;
    for (const LoggedFrame& f : read_card_log(log)) {
        if (f.valid) times.push_back(f.ms);
    }
    return times;
}

// Waits until the log lists `count` valid frames; false after bound_ms.
bool wait_for_frames(const std::string& log, std::size_t count, double bound_ms) {
    for (const double give_up = now_ms() + bound_ms; now_ms() < give_up; Sleep(20)) {
        if (frame_times(log).size() >= count) return true;
    }
    return false;
}

int cycles(const std::string& log, const std::string& figures, bool quick) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    struct Run {
        uint32_t delay_ms;
        std::size_t cycles;
    };
    const std::vector<Run> runs = quick ? std::vector<Run>{{0, 50}, {1, 20}, {10, 10}, {50, 5}, {200, 3}}
                                        : std::vector<Run>{{0, 2000}, {1, 1000}, {10, 300}, {50, 200}, {200, 50}};
    for (const Run& run : runs) {
        if (!s.create(run.delay_ms) || s.call(kStart) != 0) {
            std::printf("wine_bench: no card found at delay %u\n", run.delay_ms);
            return 1;
        }
        const std::size_t first = frame_times(log).size() + 3;
        wait_for_frames(log, first, 5000);
        wait_for_frames(log, first + run.cycles + 1, static_cast<double>(run.cycles) * (run.delay_ms + 5.0) * 2 + 5000);
        s.call(kStop);
        s.call(kDelete);
        const std::vector<double> times = frame_times(log);
        std::vector<double> periods;
        for (std::size_t i = first + 1; i < times.size() && periods.size() < run.cycles; ++i) {
            periods.push_back(times[i] - times[i - 1]);
        }
        const Summary p = summarize(periods);
        const double ideal = run.delay_ms + kExchangeWireMs;
        const std::string name = "delay " + std::to_string(run.delay_ms) + " ms";
        report.add("cycle", name + " median", p.median, "ms", format("ideal %.2f ms, ratio %.3f", ideal, p.median / ideal));
        report.add("cycle", name + " p99", p.p99, "ms", format("ratio %.3f", p.p99 / ideal));
        report.add("cycle", name + " max", p.max, "ms", format("ratio %.3f, %lu cycles", p.max / ideal, static_cast<unsigned long>(p.count)));
        if (run.delay_ms == 0 && p.count > 0) {
            const double rate = 1000.0 * static_cast<double>(p.count) / (times[first + p.count] - times[first]);
            report.add("cycle", "delay 0 ms exchanges per second", rate, "/s",
                       format("%.0f%% of the wire limit (%.0f/s)", rate * kExchangeWireMs / 10.0, 1000.0 / kExchangeWireMs));
        }
    }
    return report.save(figures) ? 0 : 1;
}

int cpu(const std::string& log, const std::string& figures, double seconds) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    if (!s.create(50) || s.call(kStart) != 0) {
        std::printf("wine_bench: no card found for the CPU run\n");
        return 1;
    }
    Sleep(2000);
    const std::size_t frames_before = frame_times(log).size();
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double wall = now_ms() - wall_before;
    const double cpu_ms = process_cpu_ms() - cpu_before;
    const std::size_t cycles = frame_times(log).size() - frames_before;
    s.call(kStop);
    s.call(kDelete);
    report.add("cpu", "polling at 50 ms, share of one core", 100.0 * cpu_ms / wall, "%",
               format("%.0f ms CPU in %.1f s, %lu cycles; the process only", cpu_ms, wall / 1000, static_cast<unsigned long>(cycles)));
    return report.save(figures) ? 0 : 1;
}

int discover(const std::string& name, const std::string& figures, int repeats, int port) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    const std::string keys = port != 0 ? "port=" + std::to_string(port) + "\r\n" : "";
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        if (!s.create(50, keys)) return 1;
        const double t0 = now_ms();
        const int32_t found = s.call(kStart);
        times.push_back(now_ms() - t0);
        s.call(kStop);
        s.call(kDelete);
        if (found != 0) {
            std::printf("wine_bench: no card found (%s)\n", name.c_str());
            return 1;
        }
    }
    report.add("discovery", name, summarize(times).median, "ms", format("start, median of %d", repeats));
    return report.save(figures) ? 0 : 1;
}

// The card's files (see the head of this file): a command that got no reply ends the step.
struct Card : CardFiles {
    using CardFiles::CardFiles;
    bool command(const std::string& line) const {
        if (CardFiles::command(line).rfind("ok", 0) == 0) return true;
        std::printf("wine_bench: the card did not answer \"%s\"\n", line.c_str());
        return false;
    }
};

// Input 1 as the last DRV_READ_INPUTS reported it; set_input is called for inputs 1 to 16 in
// order, from the host's input base (0 here).
int32_t g_input_1 = -1;
void __cdecl record_input(int32_t index, int32_t value) {
    if (index == 0) g_input_1 = value;
}

// Reads inputs every millisecond until input 1 shows `on`; the time it first did, or NAN after
// bound_ms.
double input_seen_at(Session& s, bool on, double bound_ms) {
    for (const double give_up = now_ms() + bound_ms; now_ms() < give_up; Sleep(1)) {
        s.call(kReadInputs);
        if (g_input_1 == (on ? 1 : 0)) return now_ms();
    }
    return NAN;
}

// A spread of times, the same on every run.
double next_spread_ms(uint32_t* seed, double span_ms) {
    *seed = *seed * 1664525U + 1013904223U;
    return span_ms * static_cast<double>(*seed >> 8) / static_cast<double>(1U << 24);
}

// The cable pulled while polling at 50 ms, left out for 0.5 to 2 s, input 1 changed meanwhile,
// and plugged back: from the replug command to the first DRV_READ_INPUTS showing the change,
// with no host command in between. The time counts from before the command is written to the
// card's FIFO, so it includes the card's own time to take it.
int replug(const Card& card, const std::string& figures, bool quick) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    s.driver.host.set_input_callback(&record_input);
    if (!s.create(50) || s.call(kStart) != 0) {
        std::printf("wine_bench: no card found for the replugs\n");
        return 1;
    }
    const int pulls = quick ? 2 : 10;
    uint32_t seed = 4242;
    bool on = false;
    std::vector<double> times;
    std::vector<double> out_for;
    for (int i = 0; i < pulls; ++i) {
        if (std::isnan(input_seen_at(s, on, 5000)) || !card.command("unplug")) break;
        out_for.push_back(quick ? 200 + next_spread_ms(&seed, 300) : 500 + next_spread_ms(&seed, 1500));
        Sleep(static_cast<DWORD>(out_for.back()));
        on = !on;
        if (!card.command(on ? "input 1 on" : "input 1 off")) break;
        const double replugged = now_ms();
        if (!card.command("replug")) break;
        const double seen = input_seen_at(s, on, 10000);
        if (std::isnan(seen)) {
            std::printf("wine_bench: no fresh inputs within 10 s of a replug\n");
            break;
        }
        times.push_back(seen - replugged);
    }
    s.call(kStop);
    s.call(kDelete);
    if (times.empty()) return 1;
    const Summary t = summarize(times);
    report.add("reconnect", "replug to fresh inputs, median", t.median, "ms",
               format("%lu pulls, out %.0f to %.0f ms, polling at 50 ms, no host command",
                      static_cast<unsigned long>(t.count), *std::min_element(out_for.begin(), out_for.end()),
                      *std::max_element(out_for.begin(), out_for.end())));
    report.add("reconnect", "replug to fresh inputs, max", t.max, "ms");
    return report.save(figures) ? 0 : 1;
}

// Input 1 changed at the card at a spread of moments in the 50 ms cycle, read once a millisecond:
// from before the command is written to the card's FIFO (so the card's own time to take it is
// included) to the first DRV_READ_INPUTS that shows the change.
int latency(const Card& card, const std::string& figures, bool quick) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    s.driver.host.set_input_callback(&record_input);
    if (!s.create(50) || s.call(kStart) != 0 || std::isnan(input_seen_at(s, false, 5000))) {
        std::printf("wine_bench: no card found for the latencies\n");
        return 1;
    }
    const double cycle = 50 + kExchangeWireMs;
    const int samples = quick ? 4 : 60;
    uint32_t seed = 777;
    std::vector<double> times;
    for (int i = 0; i < samples; ++i) {
        Sleep(static_cast<DWORD>(next_spread_ms(&seed, cycle)));
        const bool on = i % 2 == 0;
        const double changed = now_ms();
        if (!card.command(on ? "input 1 on" : "input 1 off")) break;
        const double seen = input_seen_at(s, on, 2000);
        if (std::isnan(seen)) break;
        times.push_back(seen - changed);
    }
    s.call(kStop);
    s.call(kDelete);
    if (times.size() != static_cast<std::size_t>(samples)) {
        std::printf("wine_bench: an input change was not read within 2 s\n");
        return 1;
    }
    const Summary t = summarize(times);
    report.add("latency", "card input change to read inputs, median", t.median, "ms",
               format("delay 50, read once a millisecond, %lu changes", static_cast<unsigned long>(t.count)));
    report.add("latency", "card input change to read inputs, max", t.max, "ms");
    return report.save(figures) ? 0 : 1;
}

// The CPU time of the prefix's wineserver, in ms, read from Linux's /proc through drive Z:.
double server_cpu_ms(const std::string& pid, double ticks_a_second) {
    const std::string stat = read_text("Z:\\proc\\" + pid + "\\stat");
    const std::size_t after_name = stat.rfind(')');
    if (after_name == std::string::npos) return NAN;
    // Fields from the state on: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime.
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + after_name + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2) {
        return NAN;
    }
    return static_cast<double>(utime + stime) * 1000.0 / ticks_a_second;
}

// The card pulled while polling at 50 ms, and left out: the process's CPU time, the
// wineserver's and the DLL's wake-ups (its Sleep and wait calls, counted by the model's shims)
// while the driver looks for the port once a second. Then it is plugged back in, and polling
// must resume.
int lost(const Card& card, const std::string& figures, double seconds, const std::string& server, double ticks) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    // The wineserver also serves the prefix's other processes (the script's idle one wakes ten
    // times a second): its time with the port lost is read against its time while polling
    // nothing at all, measured first over as long a window.
    const double idle_server_before = server_cpu_ms(server, ticks);
    const double idle_cpu_before = process_cpu_ms();
    const double idle_wall_before = now_ms();
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double idle_wall = now_ms() - idle_wall_before;
    const double idle_server_ms = server_cpu_ms(server, ticks) - idle_server_before;
    const double idle_cpu_ms = process_cpu_ms() - idle_cpu_before;
    if (!s.create(50) || s.call(kStart) != 0) {
        std::printf("wine_bench: no card found for the lost port\n");
        return 1;
    }
    Sleep(1000);
    // The threads that wait while polling: the poll thread. The reconnect's opener thread is made
    // after the unplug.
    const std::vector<ThreadWaits> threads_polling = waits_by_thread();
    if (!card.command("unplug")) return 1;
    Sleep(500);  // past the cycle that finds the port gone and the first reopen, 100 ms later
    const long waits_before = model_counters().waits.load();
    const long opens_before = model_counters().port_opens.load();
    const std::vector<ThreadWaits> threads_before = waits_by_thread();
    const double server_before = server_cpu_ms(server, ticks);
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double wall = now_ms() - wall_before;
    const double cpu_ms = process_cpu_ms() - cpu_before;
    const double server_ms = server_cpu_ms(server, ticks) - server_before;
    const long waits = model_counters().waits.load() - waits_before;
    const long opens = model_counters().port_opens.load() - opens_before;
    // The poll thread: it waited while polling and still waits (the opener that serves the
    // reconnect's attempts came after the unplug).
    long lasting_waits = 0;
    for (const ThreadWaits& now : waits_by_thread()) {
        bool polled = false;
        for (const ThreadWaits& then : threads_polling) polled = polled || then.thread == now.thread;
        for (const ThreadWaits& then : threads_before) {
            if (polled && then.thread == now.thread) lasting_waits += now.waits - then.waits;
        }
    }
    if (!card.command("replug")) return 1;
    const std::size_t frames_before = frame_times(card.log).size();
    const bool resumed = wait_for_frames(card.log, frames_before + 3, 5000);
    s.call(kStop);
    s.call(kDelete);
    if (!resumed) {
        std::printf("wine_bench: polling did not resume after the replug\n");
        return 1;
    }
    report.add("reconnect", "port lost: CPU, share of one core", 100.0 * cpu_ms / wall, "%",
               format("%.0f ms CPU in %.1f s, the process only, in Wine's 10 ms ticks; loaded and stopped, %.0f ms",
                      cpu_ms, wall / 1000, idle_cpu_ms));
    if (!std::isnan(server_ms)) {
        report.add("reconnect", "port lost: wineserver CPU, share of one core", 100.0 * server_ms / wall, "%",
                   format("%.0f ms in %.1f s; with the driver loaded and stopped, %.3f%%", server_ms, wall / 1000,
                          100.0 * idle_server_ms / idle_wall));
    }
    // Each attempt opens the port on the DLL's opener thread (one it can give up on), which serves
    // every attempt of the reconnect: its waits belong to the attempts. Between attempts only the
    // poll thread's pause on its stop event is left.
    report.add("reconnect", "port lost: wake-ups of the driver's threads a second", 1000.0 * static_cast<double>(waits) / wall,
               "/s", format("%ld Sleep and wait calls of the DLL in %.1f s, attempts included", waits, wall / 1000));
    report.add("reconnect", "port lost: the poll thread's wake-ups a second", 1000.0 * static_cast<double>(lasting_waits) / wall,
               "/s", format("%ld waits in %.1f s: each attempt's pause, then its wait for the opener's open",
                            lasting_waits, wall / 1000));
    report.add("reconnect", "port lost: reopen attempts a second", 1000.0 * static_cast<double>(opens) / wall, "/s",
               format("%ld opens of the port in %.1f s", opens, wall / 1000));
    if (opens > 0) {
        report.add("reconnect", "port lost: waits per reopen attempt", static_cast<double>(waits) / static_cast<double>(opens),
                   "", "the poll thread's pause, and the opener thread's waits for its open");
    }
    return report.save(figures) ? 0 : 1;
}

// The periods between consecutive frames of the card's log from index `first`, at most `cycles`.
std::vector<double> periods_from(const std::vector<double>& times, std::size_t first, std::size_t cycles) {
    std::vector<double> periods;
    for (std::size_t i = first + 1; i < times.size() && periods.size() < cycles; ++i) periods.push_back(times[i] - times[i - 1]);
    return periods;
}

std::size_t lines_with(const std::string& text, const char* what) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += 1) ++count;
    return count;
}

// Delay 0 with the trace off, on, and on with every frame, taken in turns so that a change in
// the machine's load falls on all three alike.
int trace(const Card& card, const std::string& figures, bool quick) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    const std::string file = figures + ".trace";
    std::vector<TracedPeriods> ways = ways_of_tracing(file, "\r\n");
    const std::size_t cycles = quick ? 50 : 350;
    const int rounds = quick ? 1 : 6;
    for (int round = 0; round < rounds; ++round) {
        for (TracedPeriods& way : ways) {
            DeleteFileA(file.c_str());
            if (!s.create(0, way.keys) || s.call(kStart) != 0) {
                std::printf("wine_bench: no card found for the trace (%s)\n", way.name.c_str());
                return 1;
            }
            const std::size_t first = frame_times(card.log).size() + 3;
            wait_for_frames(card.log, first, 5000);
            wait_for_frames(card.log, first + cycles + 1, static_cast<double>(cycles) * 10 + 5000);
            s.call(kStop);
            s.call(kDelete);
            const std::vector<double> periods = periods_from(frame_times(card.log), first, cycles);
            way.periods.insert(way.periods.end(), periods.begin(), periods.end());
        }
    }
    report_trace_shares(report, ways, rounds);

    return report.save(figures) ? 0 : 1;
}

// Every frame traced at delay 50 for a while, the tx and rx lines counted against the frames the
// card received and the answers it sent. The card must be fresh: Wine does not empty a port's
// input on open, so answers left from an earlier run would be read, and traced, here.
int trace_frames(const Card& card, const std::string& figures, bool quick) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    const std::string file = figures + ".trace";
    const double seconds = quick ? 1 : 20;
    DeleteFileA(file.c_str());
    const std::size_t frames_before = frame_times(card.log).size();
    const long answers_before = card.answers();
    if (!s.create(50, "trace=" + file + "\r\ntrace_frames=1\r\n") || s.call(kStart) != 0) {
        std::printf("wine_bench: no card found for the traced frames\n");
        return 1;
    }
    Sleep(static_cast<DWORD>(seconds * 1000));
    s.call(kStop);  // the last stop closes the trace once every line is written
    s.call(kDelete);
    Sleep(100);
    const double received = static_cast<double>(frame_times(card.log).size() - frames_before);
    const double answered = static_cast<double>(card.answers() - answers_before);
    const std::string text = read_text(file);
    report.add("trace", "frames at delay 50: frames the card received", received, "", format("delay 50, %.0f s", seconds));
    report.add("trace", "frames at delay 50: answers the card sent", answered, "");
    report.add("trace", "frames at delay 50: tx lines", static_cast<double>(lines_with(text, " tx ")), "");
    report.add("trace", "frames at delay 50: rx lines", static_cast<double>(lines_with(text, " rx ")), "");
    report.add("trace", "frames at delay 50: lines telling of dropped lines", static_cast<double>(lines_with(text, "dropped")), "");
    report_traced_answers(report, text);
    return report.save(figures) ? 0 : 1;
}

int print_report(const std::string& figures, const std::string& json_path) {
    const char* model = std::getenv("VEK_WINDOWS_MODEL");
    Report report(std::string("wine, ") + (sizeof(void*) == 4 ? "32" : "64") + "-bit DLL, Windows model " +
                  (model != nullptr && *model != '\0' ? model : "none"));
    if (!report.load(figures)) return 1;
    const Figure* com1 = report.find("discovery", "card on COM1");
    const Figure* com3 = report.find("discovery", "card on COM3, COM1 absent, COM2 silent");
    const Figure* com127 = report.find("discovery", "card on COM127, 126 ports absent");
    if (com1 != nullptr && com3 != nullptr && com127 != nullptr) {
        const double per_absent = (com127->value - com1->value) / 126;
        const double per_silent = com3->value - com1->value - per_absent;
        report.add("discovery", "per absent port", per_absent, "ms");
        report.add("discovery", "per silent port", per_silent, "ms");
    }
    judge_targets(report);
    std::printf("%s\n%s", report.table().c_str(), report.json().c_str());
    if (!json_path.empty()) write_text(json_path, report.json().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string step = argc > 1 ? argv[1] : "";
    if (step == "stay-idle" && argc == 3) {
        stay_idle(argv[2]);
        return 0;
    }
    if (argc >= 4) g_ini = std::string(argv[3]) + ".ini";  // beside the figures
    if (step == "cycles" && argc >= 4) return cycles(argv[2], argv[3], argc > 4 && std::string(argv[4]) == "quick");
    if (step == "cpu" && argc == 5) return cpu(argv[2], argv[3], std::atof(argv[4]));
    if (step == "discover" && (argc == 5 || argc == 6)) {
        return discover(argv[2], argv[3], std::atoi(argv[4]), argc == 6 ? std::atoi(argv[5]) : 0);
    }
    const bool quick = argc > 4 && std::string(argv[4]) == "quick";
    if (step == "latency" && argc >= 4) return latency(Card(argv[2]), argv[3], quick);
    if (step == "replug" && argc >= 4) return replug(Card(argv[2]), argv[3], quick);
    if (step == "lost" && argc == 7) return lost(Card(argv[2]), argv[3], std::atof(argv[4]), argv[5], std::atof(argv[6]));
    if (step == "trace" && argc >= 4) return trace(Card(argv[2]), argv[3], quick);
    if (step == "trace-frames" && argc >= 4) return trace_frames(Card(argv[2]), argv[3], quick);
    if (step == "report" && argc >= 3) return print_report(argv[2], argc > 3 ? argv[3] : "");
    std::printf("usage: see the head of wine_bench.cpp\n");
    return 2;
}
