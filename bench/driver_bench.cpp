// The driver's speed against the wire limit, natively on Linux: the real library, loaded and
// called through DriverEntry as the host does, polling a virtual card that paces its line as
// 115200 baud would. Prints a table and the same figures as JSON. Figures, not a test: nothing
// here passes or fails on time.
//
// vek-bench [--quick] [--cpu-seconds S] [--only cpu|cycle|latency|cards|reconnect|trace|discovery]
//           [--library PATH] [--json FILE]
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "bench_host.h"
#include "bench_report.h"
#include "tests/shared/text_file.h"
#include "virtual_card.h"

namespace {

struct Options {
    bool quick = false;
    double cpu_seconds = 10;
    std::string json_path;
    std::string only;  // one section, or "" for all
    std::string library = VEK_DRIVER_LIBRARY;  // another build's, to compare
    bool runs(const char* section) const { return only.empty() || only == section; }
};

// Something the bench could not measure: said on stderr, and the run ends with status 1.
int g_unmeasured = 0;

void unmeasured(const std::string& what) {
    std::fprintf(stderr, "vek-bench: %s\n", what.c_str());
    ++g_unmeasured;
}

std::string ms_text(double ms) { return format("%.2f ms", ms); }

std::array<uint8_t, 7> output_frame(uint8_t outputs_1_to_8) {
    std::array<uint8_t, 7> f{0x02, outputs_1_to_8, 0x00, 0x00, 0x00, 0x03, 0x00};
    unsigned sum = 0;
    for (std::size_t i = 0; i < 6; ++i) sum += f[i];
    f[6] = static_cast<uint8_t>(0x01U - sum);
    return f;
}

// A spread of start times within a cycle, the same on every run.
double next_phase_ms(uint32_t* seed, double span_ms) {
    *seed = *seed * 1664525U + 1013904223U;
    return span_ms * static_cast<double>(*seed >> 8) / static_cast<double>(1U << 24);
}

bool start_card(VirtualCard& card, const char* what) {
    std::string error;
    if (card.start(&error)) return true;
    unmeasured(std::string(what) + ": " + error);
    return false;
}

// The machine's floor for the CPU figure: a thread that only wakes as often as the poll thread
// does, once a cycle, with no I/O at all.
void cpu_floor(Report& report, const Options& options) {
    std::mutex lock;
    std::condition_variable never;
    std::atomic<bool> done{false};
    std::thread waker([&] {
        std::unique_lock<std::mutex> guard(lock);
        while (!done.load()) {
            never.wait_for(guard, std::chrono::microseconds(50610));
        }
    });
    sleep_ms(200);
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    sleep_ms(options.cpu_seconds * 1000);
    const double share = 100.0 * (process_cpu_ms() - cpu_before) / (now_ms() - wall_before);
    done.store(true);
    waker.join();
    report.add("cpu", "floor: a thread that only wakes every 50.6 ms", share, "%", "this machine, same window");
}

// CPU time of the whole process over the window, with the card in a process of its own; the
// heap allocations made meanwhile; and the resident memory the driver added.
void cpu_and_memory(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options,
                    double resident_before_load, double resident_after_load) {
    ports.clear();
    CardProcess card;
    std::string error;
    const std::string log = ports.file("cpu.log");
    if (!card.start(VEK_VIRTUAL_CARD_TOOL, {"--link", ports.link(1), "--wire-time", "--log", log}, ports.file("card.out"),
                    &error)) {
        unmeasured(error);
        return;
    }
    HostDriverRecord rec = host.create(50);
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found for the CPU run");
        return;
    }
    sleep_ms(options.quick ? 300 : 2000);  // past the start, into the steady state
    const double resident_running = resident_kib();
    const std::size_t frames_before = valid_frames_in_log(log);
    const uint64_t allocations_before = allocations_so_far();
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    sleep_ms(options.cpu_seconds * 1000);
    const double wall = now_ms() - wall_before;
    const double cpu = process_cpu_ms() - cpu_before;
    const uint64_t allocations = allocations_so_far() - allocations_before;
    const std::size_t cycles = valid_frames_in_log(log) - frames_before;
    host.call(DRV_STOP, rec);
    host.call(DRV_DELETE, rec);

    const double share = 100.0 * cpu / wall;
    report.add("cpu", "polling at 50 ms, share of one core", share, "%",
               format("%.1f ms CPU", cpu) + " in " + format("%.1f s", wall / 1000));
    report.add("cpu", "CPU per cycle", 1000.0 * cpu / static_cast<double>(cycles > 0 ? cycles : 1), "us",
               std::to_string(cycles) + " cycles");
    cpu_floor(report, options);
    report.add("memory", "heap allocations per cycle", static_cast<double>(allocations) / static_cast<double>(cycles > 0 ? cycles : 1),
               "", std::to_string(allocations) + " in " + std::to_string(cycles) + " cycles");
    report.add("memory", "resident, library loaded", resident_after_load - resident_before_load, "KiB");
    report.add("memory", "resident, library loaded and polling", resident_running - resident_before_load, "KiB");
}

// The frames the card received while the driver polled at this delay, from the third after the
// start on, at least `cycles` + 1 of them; empty when no card was found.
std::vector<ReceivedFrame> polled_frames(BenchHost& host, VirtualCard& card, uint32_t delay_ms, std::size_t cycles,
                                         const std::string& more_keys = "") {
    HostDriverRecord rec = host.create(delay_ms, more_keys);
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found at delay " + std::to_string(delay_ms));
        return {};
    }
    card.wait_for_frames(card.frame_count() + 3, 5000);
    card.clear_frames();
    const double bound_ms = static_cast<double>(cycles) * (delay_ms + 5.0) * 2 + 5000;
    card.wait_for_frames(cycles + 1, static_cast<int>(bound_ms));
    std::vector<ReceivedFrame> frames = card.frames();
    host.call(DRV_STOP, rec);
    host.call(DRV_DELETE, rec);
    return frames;
}

// The periods between the last bytes of consecutive frames, at most `cycles` of them.
std::vector<double> periods_of(const std::vector<ReceivedFrame>& frames, std::size_t cycles) {
    std::vector<double> periods;
    for (std::size_t i = 1; i < frames.size() && periods.size() < cycles; ++i) {
        periods.push_back(frames[i].at_ms - frames[i - 1].at_ms);
    }
    return periods;
}

// The card's view of the period: the time between the last bytes of consecutive frames.
void cycle_periods(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    ports.clear();
    VirtualCard card(VirtualCard::Options{ports.link(1), true});
    if (!start_card(card, "cycle card")) return;
    struct Run {
        uint32_t delay_ms;
        std::size_t cycles;
    };
    const std::vector<Run> runs = options.quick ? std::vector<Run>{{0, 50}, {1, 20}, {10, 10}, {50, 5}, {200, 3}}
                                                : std::vector<Run>{{0, 3000}, {1, 1500}, {10, 500}, {50, 200}, {200, 50}};
    for (const Run& run : runs) {
        const std::vector<double> periods = periods_of(polled_frames(host, card, run.delay_ms, run.cycles), run.cycles);
        if (periods.empty()) return;
        const Summary s = summarize(periods);
        const double ideal = run.delay_ms + kExchangeWireMs;
        const std::string name = "delay " + std::to_string(run.delay_ms) + " ms";
        report.add("cycle", name + " median", s.median, "ms", "ideal " + ms_text(ideal) + format(", ratio %.3f", s.median / ideal));
        report.add("cycle", name + " p99", s.p99, "ms", format("ratio %.3f", s.p99 / ideal));
        report.add("cycle", name + " max", s.max, "ms", format("ratio %.3f, ", s.max / ideal) + std::to_string(s.count) + " cycles");
        if (run.delay_ms == 0) {
            const double rate = exchanges_a_second(periods);
            const double share = rate * kExchangeWireMs / 1000.0;
            report.add("cycle", "delay 0 ms exchanges per second", rate, "/s",
                       format("%.0f%% of the wire limit", 100 * share) + format(" (%.0f/s)", 1000.0 / kExchangeWireMs));
        }
    }
}

// Each card's periods while `n` cards poll together, each named by an instance of its own.
std::vector<std::vector<double>> card_periods(BenchHost& host, const PortsFolder& ports, uint32_t n,
                                              uint32_t delay_ms, std::size_t cycles) {
    std::vector<std::unique_ptr<VirtualCard>> cards;
    std::vector<HostDriverRecord> records;
    std::vector<std::vector<double>> periods;
    for (uint32_t port = 1; port <= n; ++port) {
        cards.push_back(std::make_unique<VirtualCard>(VirtualCard::Options{ports.link(port), true}));
        if (!start_card(*cards.back(), "card of several")) return {};
    }
    for (uint32_t port = 1; port <= n; ++port) {
        // The instance's section names its port, read at its start.
        records.push_back(host.create(delay_ms, "port=" + std::to_string(port) + "\n"));
        if (host.call(DRV_START, records.back()) != 0) unmeasured("no card on COM" + std::to_string(port));
    }
    for (auto& card : cards) card->wait_for_frames(card->frame_count() + 3, 5000);
    for (auto& card : cards) card->clear_frames();
    const double bound_ms = static_cast<double>(cycles) * (delay_ms + 5.0) * 2 + 5000;
    for (auto& card : cards) {
        card->wait_for_frames(cycles + 1, static_cast<int>(bound_ms));
        periods.push_back(periods_of(card->frames(), cycles));
    }
    for (HostDriverRecord& rec : records) host.call(DRV_STOP, rec);
    for (HostDriverRecord& rec : records) host.call(DRV_DELETE, rec);
    return periods;
}

// The driver's CPU share per card while `n` cards, each a virtual card process of its own, are
// polled at delay 50; a negative value when it could not be measured.
double cpu_per_card(BenchHost& host, const PortsFolder& ports, uint32_t n, double seconds) {
    ports.clear();
    std::vector<std::unique_ptr<CardProcess>> cards;
    std::vector<HostDriverRecord> records;
    for (uint32_t port = 1; port <= n; ++port) {
        cards.push_back(std::make_unique<CardProcess>());
        std::string error;
        if (!cards.back()->start(VEK_VIRTUAL_CARD_TOOL, {"--link", ports.link(port), "--wire-time"},
                                 ports.file("card" + std::to_string(port) + ".out"), &error)) {
            unmeasured(error);
            return -1;
        }
    }
    for (uint32_t port = 1; port <= n; ++port) {
        records.push_back(host.create(50, "port=" + std::to_string(port) + "\n"));
        if (host.call(DRV_START, records.back()) != 0) unmeasured("no card on COM" + std::to_string(port));
    }
    sleep_ms(1000);  // past the starts, into the steady state
    const double cpu_before = process_cpu_ms(), wall_before = now_ms();
    sleep_ms(seconds * 1000);
    const double share = 100.0 * (process_cpu_ms() - cpu_before) / (now_ms() - wall_before);
    for (HostDriverRecord& rec : records) host.call(DRV_STOP, rec);
    for (HostDriverRecord& rec : records) host.call(DRV_DELETE, rec);
    return share / n;
}

// Two and four cards at delay 50, each card's cycle against one card's ideal (the worst card is
// reported), and two cards at delay 0 against the wire limit.
void several_cards(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    const double ideal = 50 + kExchangeWireMs;
    for (const uint32_t n : {2U, 4U}) {
        ports.clear();
        double worst_median = 0, worst_p99 = 0;
        for (const std::vector<double>& periods : card_periods(host, ports, n, 50, options.quick ? 10 : 200)) {
            if (periods.empty()) return unmeasured("a card of " + std::to_string(n) + " was not polled");
            const Summary s = summarize(periods);
            worst_median = std::max(worst_median, std::fabs(s.median - ideal));
            worst_p99 = std::max(worst_p99, std::fabs(s.p99 - ideal));
        }
        const std::string name = std::to_string(n) + " cards at delay 50 ms, worst card's ";
        report.add("cards", name + "median off the ideal", worst_median, "ms", "ideal " + ms_text(ideal));
        report.add("cards", name + "p99 off the ideal", worst_p99, "ms", "ideal " + ms_text(ideal));
    }
    const double seconds = options.quick ? 0.5 : options.cpu_seconds;
    for (const uint32_t n : {1U, 2U, 4U}) {
        const double share = cpu_per_card(host, ports, n, seconds);
        if (share < 0) return;
        report.add("cards", std::to_string(n) + (n == 1 ? " card" : " cards") + " at delay 50 ms, CPU per card", share,
                   "%", format("of a core, over %.1f s", seconds));
    }
    ports.clear();
    double worst_rate = 0;
    for (const std::vector<double>& periods : card_periods(host, ports, 2, 0, options.quick ? 50 : 2000)) {
        if (periods.empty()) return unmeasured("a card of two at delay 0 was not polled");
        const double rate = exchanges_a_second(periods);
        worst_rate = worst_rate == 0 ? rate : std::min(worst_rate, rate);
    }
    report.add("cards", "2 cards at delay 0 ms, the slower card's exchanges per second", worst_rate, "/s",
               format("%.0f%% of the wire limit", 100 * worst_rate * kExchangeWireMs / 1000.0));
}

// From DRV_WRITE_OUTPUTS to the new frame's last byte at the card, and from a change of a card
// input to the first DRV_READ_INPUTS that shows it; each started at a spread of points in the
// cycle.
void latencies(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    constexpr uint32_t kDelayMs = 50;
    ports.clear();
    VirtualCard card(VirtualCard::Options{ports.link(1), true});
    if (!start_card(card, "latency card")) return;
    HostDriverRecord rec = host.create(kDelayMs);
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found for the latencies");
        return;
    }
    const double cycle = kDelayMs + kExchangeWireMs;
    const int samples = options.quick ? 4 : 60;
    uint32_t seed = 12345;

    std::vector<double> to_card;
    for (int i = 0; i < samples; ++i) {
        sleep_ms(next_phase_ms(&seed, cycle));
        const uint8_t outputs = i % 2 == 0 ? 0x01 : 0x00;
        host.output_states[0] = outputs != 0 ? 0x40 : 0x00;
        card.clear_frames();
        const double asked = now_ms();
        host.call(DRV_WRITE_OUTPUTS, rec);
        for (const double give_up = asked + 1000; now_ms() < give_up; sleep_ms(0.2)) {
            ReceivedFrame last{};
            if (card.last_frame(&last) && last.bytes == output_frame(outputs)) {
                to_card.push_back(static_cast<double>(last.at_monotonic_ns) / 1e6 - asked);
                break;
            }
        }
    }
    std::vector<double> to_host;
    for (int i = 0; i < samples; ++i) {
        sleep_ms(next_phase_ms(&seed, cycle));
        const bool on = i % 2 == 0;
        const double changed = now_ms();
        card.set_input(1, on);
        // Read once a millisecond, as a host's scan would.
        for (const double give_up = changed + 1000; now_ms() < give_up; sleep_ms(1.0)) {
            host.call(DRV_READ_INPUTS, rec);
            if (host.input(1) == (on ? 1 : 0)) {
                to_host.push_back(now_ms() - changed);
                break;
            }
        }
    }
    host.call(DRV_STOP, rec);
    host.call(DRV_DELETE, rec);

    const Summary out = summarize(to_card);
    const Summary in = summarize(to_host);
    const std::string per_cycle = "one cycle at 50 ms: " + ms_text(cycle);
    report.add("latency", "write outputs to last byte at card, median", out.median, "ms",
               format("%.2f cycles", out.median / cycle));
    report.add("latency", "write outputs to last byte at card, max", out.max, "ms",
               format("%.2f cycles, ", out.max / cycle) + std::to_string(out.count) + " samples; " + per_cycle);
    report.add("latency", "card input change to read inputs, median", in.median, "ms", format("%.2f cycles", in.median / cycle));
    report.add("latency", "card input change to read inputs, max", in.max, "ms",
               format("%.2f cycles, ", in.max / cycle) + std::to_string(in.count) + " samples");
}

// DRV_START's time to find the card, the median of a few starts.
double start_ms(BenchHost& host, int repeats, const std::string& more_keys = "") {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        HostDriverRecord rec = host.create(50, more_keys);
        const double t0 = now_ms();
        const int32_t found = host.call(DRV_START, rec);
        times.push_back(now_ms() - t0);
        host.call(DRV_STOP, rec);
        host.call(DRV_DELETE, rec);
        if (found != 0) {
            unmeasured("no card found in a discovery run");
            return NAN;
        }
    }
    return summarize(times).median;
}

void discovery(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    const int repeats = options.quick ? 1 : 7;
    ports.clear();
    double on_com1 = NAN;
    {
        VirtualCard card(VirtualCard::Options{ports.link(1), true});
        if (start_card(card, "card on COM1")) on_com1 = start_ms(host, repeats);
    }
    ports.clear();
    double on_com3 = NAN;
    {
        VirtualCard silent(VirtualCard::Options{ports.link(2), true});
        CardFault fault;
        fault.silent = true;
        silent.set_fault(fault);
        VirtualCard card(VirtualCard::Options{ports.link(3), true});
        if (start_card(silent, "silent card") && start_card(card, "card on COM3")) on_com3 = start_ms(host, repeats);
    }
    // A port named in the settings is probed alone, whatever sits on the ports below it.
    ports.clear();
    double scanned = NAN;
    double named = NAN;
    std::size_t frames_below = 0;
    {
        VirtualCard silent1(VirtualCard::Options{ports.link(1), true});
        VirtualCard silent2(VirtualCard::Options{ports.link(2), true});
        CardFault fault;
        fault.silent = true;
        silent1.set_fault(fault);
        silent2.set_fault(fault);
        VirtualCard card(VirtualCard::Options{ports.link(3), true});
        if (start_card(silent1, "silent card on COM1") && start_card(silent2, "silent card on COM2") &&
            start_card(card, "card on COM3")) {
            named = start_ms(host, repeats, "port=3\n");
            frames_below = silent1.frame_count() + silent2.frame_count();
            scanned = start_ms(host, repeats);
        }
    }
    ports.clear();
    double on_com127 = NAN;
    {
        VirtualCard card(VirtualCard::Options{ports.link(127), true});
        if (start_card(card, "card on COM127")) on_com127 = start_ms(host, repeats);
    }
    const double per_absent = (on_com127 - on_com1) / 126;
    const double per_silent = on_com3 - on_com1 - per_absent;
    report.add("discovery", "card on COM1", on_com1, "ms", "start, median of " + std::to_string(repeats));
    report.add("discovery", "card on COM3, COM1 absent, COM2 silent", on_com3, "ms");
    report.add("discovery", "card on COM127, 126 ports absent", on_com127, "ms");
    report.add("discovery", "per absent port", per_absent, "ms");
    report.add("discovery", "per silent port", per_silent, "ms");
    report.add("discovery", "card on COM3 named by port=3, COM1 and COM2 silent", named, "ms",
               format("scanning instead: %.2f ms; ", scanned) + std::to_string(frames_below) +
                   " frames reached COM1 and COM2 during the named starts");
    report.add("discovery", "card on COM3 by scan, COM1 and COM2 silent", scanned, "ms");
}

// Reads inputs every millisecond until input k shows `on`; the time it first did, or NAN after
// bound_ms.
double input_seen_at(BenchHost& host, HostDriverRecord& rec, unsigned k, bool on, double bound_ms) {
    for (const double give_up = now_ms() + bound_ms; now_ms() < give_up; sleep_ms(1)) {
        host.call(DRV_READ_INPUTS, rec);
        if (host.input(k) == (on ? 1 : 0)) return now_ms();
    }
    return NAN;
}

// The cable pulled while polling at 50 ms, left out for 0.5 to 2 s, the card's input 1 changed
// meanwhile, and plugged back: the time from the replug to the first DRV_READ_INPUTS that shows
// the change, with no host command in between. The driver looks for the port 100 ms after the
// loss, then once a second, so the figure is mostly where the replug falls in that second.
void replug_to_inputs(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    ports.clear();
    VirtualCard::Options card_options{ports.link(1), true};
    // Unplugged, COM1 names a file that does not exist, never the old pty's number, which another
    // program on the machine may be given meanwhile (and answer the driver on).
    card_options.unplugged_target = ports.file("unplugged");
    VirtualCard card(card_options);
    if (!start_card(card, "replug card")) return;
    HostDriverRecord rec = host.create(50);
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found for the replugs");
        return;
    }
    const int pulls = options.quick ? 2 : 10;
    uint32_t seed = 4242;
    bool on = false;
    std::vector<double> times;
    std::vector<double> out_for;
    for (int i = 0; i < pulls; ++i) {
        if (std::isnan(input_seen_at(host, rec, 1, on, 5000))) {
            unmeasured("the inputs before a pull never showed");
            break;
        }
        card.unplug();
        out_for.push_back(options.quick ? 200 + next_phase_ms(&seed, 300) : 500 + next_phase_ms(&seed, 1500));
        sleep_ms(out_for.back());
        on = !on;
        card.set_input(1, on);
        std::string error;
        if (!card.replug(&error)) {
            unmeasured("replug: " + error);
            break;
        }
        const double replugged = now_ms();
        const double seen = input_seen_at(host, rec, 1, on, 10000);
        if (std::isnan(seen)) {
            unmeasured("no fresh inputs within 10 s of a replug");
            break;
        }
        times.push_back(seen - replugged);
    }
    host.call(DRV_STOP, rec);
    host.call(DRV_DELETE, rec);
    const Summary s = summarize(times);
    const Summary out = summarize(out_for);
    report.add("reconnect", "replug to fresh inputs, median", s.median, "ms",
               std::to_string(s.count) + format(" pulls, out %.0f to %.0f ms, polling at 50 ms, no host command",
                                                 *std::min_element(out_for.begin(), out_for.end()), out.max));
    report.add("reconnect", "replug to fresh inputs, max", s.max, "ms");
}

// What a lost port costs while the driver waits for it: the card (in a process of its own) is
// pulled while polling at 50 ms, and the process's CPU time and its driver threads' wake-ups
// are counted while it stays out. Then it is plugged back, and polling must resume.
void lost_port_cost(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    ports.clear();
    CardProcess card;
    std::string error;
    const std::string log = ports.file("lost.log");
    if (!card.start(VEK_VIRTUAL_CARD_TOOL,
                    {"--link", ports.link(1), "--unplugged-link", ports.file("unplugged"), "--wire-time", "--log", log},
                    ports.file("lost.out"), &error)) {
        unmeasured(error);
        return;
    }
    HostDriverRecord rec = host.create(50);
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found for the lost port");
        return;
    }
    sleep_ms(options.quick ? 300 : 1000);
    card.command("unplug");
    sleep_ms(500);  // past the cycle that finds the port gone and the first reopen, 100 ms later
    const WakeupCount wakes_before;
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    sleep_ms(options.cpu_seconds * 1000);
    const double wall = now_ms() - wall_before;
    const double cpu = process_cpu_ms() - cpu_before;
    const uint64_t wakes = WakeupCount().since(wakes_before);
    card.command("replug");
    const std::size_t frames_before = valid_frames_in_log(log);
    bool resumed = false;
    for (const double give_up = now_ms() + 5000; !resumed && now_ms() < give_up; sleep_ms(20)) {
        resumed = valid_frames_in_log(log) > frames_before + 2;
    }
    host.call(DRV_STOP, rec);
    host.call(DRV_DELETE, rec);
    if (!resumed) unmeasured("polling did not resume after the replug");

    report.add("reconnect", "port lost: CPU, share of one core", 100.0 * cpu / wall, "%",
               format("%.1f ms CPU in %.1f s, the card in its own process", cpu, wall / 1000));
    report.add("reconnect", "port lost: the poll thread's wake-ups a second", 1000.0 * static_cast<double>(wakes) / wall, "/s",
               format("%llu voluntary context switches in %.1f s of the driver's threads, the poll thread alone here",
                      static_cast<unsigned long long>(wakes), wall / 1000));
}

// Lines of a trace file that hold this text.
std::size_t lines_with(const std::string& path, const char* text) {
    std::ifstream in(path);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(text) != std::string::npos) ++count;
    }
    return count;
}

// The cycle at delay 0 with the trace off, on, and on with every frame, taken in turns so that a
// change in the machine's load falls on all three alike. False when a run found no card.
bool trace_cycles(Report& report, BenchHost& host, const PortsFolder& ports, const std::string& trace,
                  const Options& options) {
    VirtualCard card(VirtualCard::Options{ports.link(1), true});
    if (!start_card(card, "trace card")) return false;
    std::vector<TracedPeriods> ways = ways_of_tracing(trace, "\n");
    const std::size_t cycles = options.quick ? 50 : 500;
    const int rounds = options.quick ? 1 : 6;
    for (int round = 0; round < rounds; ++round) {
        for (TracedPeriods& way : ways) {
            std::remove(trace.c_str());
            const std::vector<double> periods = periods_of(polled_frames(host, card, 0, cycles, way.keys), cycles);
            if (periods.empty()) return false;
            way.periods.insert(way.periods.end(), periods.begin(), periods.end());
        }
    }
    report_trace_shares(report, ways, rounds);
    return true;
}

// What the trace costs the cycle (see trace_cycles); then every frame traced at delay 50 for a
// while: the writer must keep up, dropping nothing and writing a line for every frame.
void trace_cost(Report& report, BenchHost& host, const PortsFolder& ports, const Options& options) {
    ports.clear();
    const std::string trace = ports.file("line.trace");
    if (!trace_cycles(report, host, ports, trace, options)) return;

    // A fresh card, so that no answer left from the runs above is read and traced here.
    ports.clear();
    VirtualCard card(VirtualCard::Options{ports.link(1), true});
    if (!start_card(card, "traced frames card")) return;
    const double seconds = options.quick ? 1 : 20;
    std::remove(trace.c_str());
    HostDriverRecord rec = host.create(50, "trace=" + trace + "\ntrace_frames=1\n");
    if (host.call(DRV_START, rec) != 0) {
        unmeasured("no card found for the traced frames");
        return;
    }
    sleep_ms(seconds * 1000);
    host.call(DRV_STOP, rec);  // the last stop closes the trace once every line is written
    host.call(DRV_DELETE, rec);
    sleep_ms(50);  // the card's answer to the stop's frame is counted too
    const std::size_t received = card.frame_count();
    const std::size_t answered = card.answer_count();
    const std::size_t tx = lines_with(trace, " tx ");
    const std::size_t rx = lines_with(trace, " rx ");
    const std::size_t dropped = lines_with(trace, "dropped");
    const std::string run = format("delay 50, %.0f s", seconds);
    report.add("trace", "frames at delay 50: frames the card received", static_cast<double>(received), "", run);
    report.add("trace", "frames at delay 50: answers the card sent", static_cast<double>(answered), "");
    report.add("trace", "frames at delay 50: tx lines", static_cast<double>(tx), "",
               std::to_string(received) + " frames the card received");
    // The answer to the stop's all-off frame is never read, so never traced; nor is the answer
    // to a cycle that the stop cut short before its answer was in.
    report.add("trace", "frames at delay 50: rx lines", static_cast<double>(rx), "",
               std::to_string(answered) + " answers the card sent, the one to the stop's frame never read");
    report.add("trace", "frames at delay 50: lines telling of dropped lines", static_cast<double>(dropped), "",
               format("tx lines %+.0f against the frames received, rx lines %+.0f against the answers sent",
                      static_cast<double>(tx) - static_cast<double>(received),
                      static_cast<double>(rx) - static_cast<double>(answered)));
    report_traced_answers(report, read_text(trace));
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options->quick = true;
            options->cpu_seconds = 0.5;
        } else if (arg == "--cpu-seconds" && i + 1 < argc) {
            options->cpu_seconds = std::atof(argv[++i]);
        } else if (arg == "--only" && i + 1 < argc) {
            options->only = argv[++i];
        } else if (arg == "--library" && i + 1 < argc) {
            options->library = argv[++i];
        } else if (arg == "--json" && i + 1 < argc) {
            options->json_path = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: vek-bench [--quick] [--cpu-seconds S] [--only cpu|cycle|latency|cards|reconnect|trace|discovery] "
                         "[--library PATH] [--json FILE]\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) return 2;
    const double resident_before_load = resident_kib();
    PortsFolder ports;
    BenchHost host;
    std::string error;
    if (!host.load(options.library, &error)) {
        std::fprintf(stderr, "vek-bench: %s\n", error.c_str());
        return 1;
    }
    const double resident_after_load = resident_kib();

    Report report("linux, native library");
    // First, while nothing else has touched the heap or the resident set.
    if (options.runs("cpu")) cpu_and_memory(report, host, ports, options, resident_before_load, resident_after_load);
    if (options.runs("cycle")) cycle_periods(report, host, ports, options);
    if (options.runs("latency")) latencies(report, host, ports, options);
    if (options.runs("cards")) several_cards(report, host, ports, options);
    if (options.runs("reconnect")) {
        replug_to_inputs(report, host, ports, options);
        lost_port_cost(report, host, ports, options);
    }
    if (options.runs("trace")) trace_cost(report, host, ports, options);
    if (options.runs("discovery")) discovery(report, host, ports, options);
    judge_targets(report);

    std::printf("%s\n", report.table().c_str());
    const std::string json = report.json();
    std::printf("%s", json.c_str());
    if (!options.json_path.empty()) std::ofstream(options.json_path) << json;
    return g_unmeasured == 0 ? 0 : 1;
}
