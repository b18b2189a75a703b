// The real DLL's speed under Wine, against a virtual card that paces its line as 115200 baud
// would. A 32-bit stand-in for the host loads the DLL and drives it through DriverEntry;
// wine_bench.sh puts the cards on the prefix's ports and runs one step per setup, each adding its
// figures to a file, and the last step prints them as a table and as JSON. Figures, not a test.
// VEK_WINDOWS_MODEL puts a model of Windows' timers and serial drivers between the DLL and Wine
// (tests/wine/windows_model.h).
//
//   wine_bench.exe cycles CARD_LOG FIGURES [quick]   card on COM3: cycle periods at each delay
//   wine_bench.exe cpu CARD_LOG FIGURES SECONDS      card on COM3: CPU while polling at 50 ms
//   wine_bench.exe discover NAME FIGURES REPEATS     the time DRV_START takes to find the card
//   wine_bench.exe report FIGURES [JSON]             the table and the JSON
//   wine_bench.exe stay-idle FLAG                    keeps the prefix's services up
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "tests/wine/windows_model.h"
#include "tests/wine/wine_test_support.h"

namespace {

constexpr uint32_t kStart = 0;
constexpr uint32_t kStop = 1;
constexpr uint32_t kCreate = 0xFFFE;
constexpr uint32_t kDelete = 0xFFFF;

// The configuration file every call names, beside the figures.
std::string g_ini;

struct Session {
    Driver driver;
    RawDriverRecord rec;

    bool create(uint32_t delay_ms) {
        const std::string text = "[korvanex-vek-driver-0]\r\ndelay=" + std::to_string(delay_ms) + "\r\n";
        write_text(g_ini, text.c_str());
        rec = RawDriverRecord{};
        return driver.call(0, kCreate, &rec, g_ini) == 0;
    }
    int32_t call(uint32_t command) { return driver.call(0, command, &rec, g_ini); }
};

// The times (card's clock, ms) of the valid frames in the card's log so far.
std::vector<double> frame_times(const std::string& log) {
    std::vector<double> times;
    const std::string text = read_text(log);
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line.size() > 6 && line.compare(line.size() - 6, 6, " valid") == 0) times.push_back(std::atof(line.c_str()));
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

// The CPU time of this process, every thread, in ms. Wine keeps it in clock ticks (10 ms), so the
// window must be long.
double process_cpu_ms() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ms = [](const FILETIME& t) {
        return static_cast<double>(static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
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

int discover(const std::string& name, const std::string& figures, int repeats) {
    Report report("");
    report.load(figures);
    Session s;
    if (!s.driver.load() || !install_model_from_environment(s.driver.module)) return 1;
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        if (!s.create(50)) return 1;
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
    if (step == "discover" && argc == 5) return discover(argv[2], argv[3], std::atoi(argv[4]));
    if (step == "report" && argc >= 3) return print_report(argv[2], argc > 3 ? argv[3] : "");
    std::printf("usage: see the head of wine_bench.cpp\n");
    return 2;
}
