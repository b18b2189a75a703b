// The fault soak: the driver polls a virtual card for a given time while the card injects random
// faults (see card_script.h), and a host thread calls DRV_WRITE_OUTPUTS and DRV_READ_INPUTS all
// the while, through DriverEntry, stopping and starting the instance now and then as a host does.
// Checked throughout:
// - every input state the host reads is one the card sent in a well-formed frame (or the all-off
//   image a start sets, before the first answer), never one torn from two frames, and never one
//   older than a state already read;
// - fresh inputs reach the host after every fault, and during a fault that leaves the answers
//   well formed; after an unplug and replug with no host command, the driver reopening the port
//   by itself;
// - every fault kind is injected at least once;
// - no call hangs, and DRV_STOP returns within its bound of 5 s;
// - every frame the driver sends is well formed, and carries one output state the host wrote
//   whole (or all off), never a mix of two writes;
// - threads and descriptors, counted whenever the instance is stopped, stay as they were after
//   the warm-up, and resident memory stays within a bound.
// It prints the counts of faults injected and survived, and exits 1 on any violation.
//
// vek_fault_soak [--seconds S] [--seed N] [--rss-growth-kb K (0: unchecked)] [--verbose 1]
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "abi/host_interface.h"
#include "link/port_path.h"
#include "tests/soak/card_script.h"
#include "tests/shared/process_meter.h"

namespace {

struct Options {
    double seconds = 25.0;
    uint64_t seed = 1;
    std::size_t rss_growth_kb = 16384;
    bool verbose = false;
};

constexpr int32_t kInputBase = 1000;
constexpr std::size_t kAnalogIn1 = 200;  // reals of driver number 0
// Generous bounds: a slow shared machine under a sanitizer must not fail them, a hang must.
constexpr double kStopBoundMs = 5000.0 + 500.0;
constexpr double kExchangeBoundMs = 1000.0;
constexpr int kHangSeconds = 60;

double ms_between(SoakClock::time_point a, SoakClock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// What one DRV_READ_INPUTS handed the host through set_input; the host's thread only.
struct Capture {
    int calls = 0;
    bool in_order = true;
    uint16_t on = 0;
};
Capture g_capture;

void VEK_CDECL capture_input(int32_t index, int32_t value) {
    g_capture.in_order = g_capture.in_order && index == kInputBase + g_capture.calls;
    if (value == 1 && g_capture.calls < 16) g_capture.on = static_cast<uint16_t>(g_capture.on | 1U << g_capture.calls);
    g_capture.in_order = g_capture.in_order && (value == 0 || value == 1);
    ++g_capture.calls;
}

std::string make_folder(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern;
}

class SoakHost {
public:
    SoakHost(SoakShared& shared, const Options& options, const std::string& config_path)
        : shared_(shared), options_(options), config_path_(config_path), rng_(options.seed * 7919U + 17U) {
        record_.input_base = kInputBase;
        record_.output_states = outputs_;
        record_.words = words_;
        record_.reals = reals_;
        record_.set_input = capture_input;
    }

    void run(SoakClock::time_point started, SoakClock::time_point until);
    bool report(const FaultCounts& card) const;
    std::atomic<int64_t> beat_ms{0};
    std::atomic<const char*> doing{"nothing"};

private:
    int32_t call(uint32_t command);
    void exchange();
    void check_view();
    bool start_polling(SoakClock::time_point until);
    void stop_polling();
    void new_instance();
    void measure(bool baseline);
    void violation(const std::string& what, const char* first_detail = "");
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

    SoakShared& shared_;
    Options options_;
    std::string config_path_;
    std::mt19937_64 rng_;
    HostRecord record_{};
    HostDriverRecord instance_{};
    uint8_t outputs_[64] = {};
    uint16_t words_[256] = {};
    float reals_[256] = {};

    bool seen_since_start_ = false;
    uint32_t newest_seen_ = 0;
    uint64_t reads_ = 0, writes_ = 0, sessions_ = 0, refused_starts_ = 0, resets_ = 0, recreated_ = 0;
    uint64_t states_seen_ = 0, start_state_reads_ = 0;
    double longest_stop_ms_ = 0.0, longest_exchange_ms_ = 0.0;
    std::map<std::string, uint64_t> violations_;
    bool have_baseline_ = false;
    ProcessCounts baseline_{}, last_{};
    std::size_t peak_kb_ = 0;
};

void SoakHost::violation(const std::string& what, const char* first_detail) {
    if (violations_[what]++ == 0) std::fprintf(stderr, "fault soak: %s%s\n", what.c_str(), first_detail);
}

int32_t SoakHost::call(uint32_t command) {
    return DriverEntry(0, command, &record_, &instance_, config_path_.c_str());
}

void SoakHost::check_view() {
    if (g_capture.calls == 0) return;  // not polling since the last refused start: nothing to read
    if (g_capture.calls != 16 || !g_capture.in_order) return violation("set_input calls out of order");
    const DecodedView seen = decode_view({g_capture.on, reals_[kAnalogIn1], reals_[kAnalogIn1 + 1]});
    switch (seen.kind) {
        case ViewKind::start_state:
            ++start_state_reads_;
            if (seen_since_start_) violation("the inputs fell back to the start state");
            return;
        case ViewKind::corrupt_only: return violation("a state from a corrupt frame reached the host");
        case ViewKind::garbled: {
            char what[160];
            std::snprintf(what, sizeof what, " (first: inputs on %04X, %.6f V, %.6f V, after state %u)", g_capture.on,
                          static_cast<double>(reals_[kAnalogIn1]), static_cast<double>(reals_[kAnalogIn1 + 1]),
                          newest_seen_);
            return violation("a state the card never sent (torn or made up) reached the host", what);
        }
        case ViewKind::sent: break;
    }
    if (seen.sequence > shared_.newest_clean.load()) violation("a state the card has not sent reached the host");
    if (seen.sequence < newest_seen_) violation("an older state came after a newer one");
    if (seen.sequence != newest_seen_) ++states_seen_;
    seen_since_start_ = true;
    if (seen.sequence > newest_seen_) {
        newest_seen_ = seen.sequence;
        shared_.host_newest.store(seen.sequence);
    }
}

void SoakHost::exchange() {
    const auto began = SoakClock::now();
    // A new output state at every write, so that a frame built from two writes has every chance
    // to show. The host's other bits (all but 0x40, the words' high bytes) are noise it may set.
    const OutputState next = encode_outputs(static_cast<uint32_t>(rng_()));
    for (int i = 0; i < 16; ++i) {
        const uint8_t group = i < 8 ? next.outputs_1_to_8 : next.outputs_9_to_16;
        const bool on = (group >> (i % 8) & 1U) != 0;
        outputs_[i] = static_cast<uint8_t>((on ? 0x40 : 0) | (pick(0, 3) == 0 ? 0x81 : 0));
    }
    words_[200] = static_cast<uint16_t>(pick(0, 0xFF) << 8 | next.analog_1);
    words_[201] = static_cast<uint16_t>(pick(0, 0xFF) << 8 | next.analog_2);
    doing.store("DRV_WRITE_OUTPUTS");
    if (call(DRV_WRITE_OUTPUTS) != 0) violation("DRV_WRITE_OUTPUTS failed");
    ++writes_;
    g_capture = Capture{};
    doing.store("DRV_READ_INPUTS");
    if (call(DRV_READ_INPUTS) != 0) violation("DRV_READ_INPUTS failed");
    ++reads_;
    check_view();
    const double took = ms_between(began, SoakClock::now());
    longest_exchange_ms_ = std::max(longest_exchange_ms_, took);
    if (took > kExchangeBoundMs) violation("a read or write took more than a second");
}

bool SoakHost::start_polling(SoakClock::time_point until) {
    for (;;) {
        doing.store("DRV_START");
        shared_.start_calls.fetch_add(1);
        if (call(DRV_START) == 0) break;
        soak_log(shared_, "host: DRV_START found no card");
        // No card answered (unplugged, silent or corrupt): a host would try again.
        ++refused_starts_;
        if (SoakClock::now() > until || shared_.stopping.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        beat_ms.store(std::chrono::duration_cast<std::chrono::milliseconds>(SoakClock::now().time_since_epoch()).count());
    }
    ++sessions_;
    soak_log(shared_, "host: polling");
    seen_since_start_ = false;
    return true;
}

void SoakHost::stop_polling() {
    const auto asked = SoakClock::now();
    doing.store("DRV_STOP");
    if (call(DRV_STOP) != 0) violation("DRV_STOP failed");
    const double took = ms_between(asked, SoakClock::now());
    longest_stop_ms_ = std::max(longest_stop_ms_, took);
    if (took > kStopBoundMs) violation("DRV_STOP took longer than its bound");
    soak_log(shared_, "host: stopped in %.1f ms", took);
}

// Delete and create around a stopped instance, with a new delay from the configuration file.
void SoakHost::new_instance() {
    doing.store("DRV_DELETE");
    if (call(DRV_DELETE) != 0) violation("DRV_DELETE failed");
    std::ofstream(config_path_, std::ios::trunc) << "[korvanex-vek-driver-0]\r\ndelay=" << pick(0, 12) << "\r\n";
    doing.store("DRV_CREATE");
    if (call(DRV_CREATE) != 0 || instance_.slot != 0) violation("DRV_CREATE failed");
    ++recreated_;
}

// Taken with the instance stopped and the card plugged in, so every count means the same thing.
void SoakHost::measure(bool baseline) {
    std::lock_guard<std::mutex> plugged(shared_.plugged);
    last_ = measure_process();
    peak_kb_ = std::max(peak_kb_, last_.resident_kb);
    if (baseline && !have_baseline_) {
        baseline_ = last_;
        have_baseline_ = true;
        return;
    }
    if (!have_baseline_) return;
    if (last_.threads != baseline_.threads) violation("the thread count changed");
    if (last_.descriptors != baseline_.descriptors) violation("the descriptor count changed");
}

void SoakHost::run(SoakClock::time_point started, SoakClock::time_point until) {
    const auto warm = started + (until - started) / 5;
    std::ofstream(config_path_, std::ios::trunc) << "[korvanex-vek-driver-0]\r\ndelay=2\r\n";
    doing.store("DRV_CREATE");
    if (call(DRV_CREATE) != 0) violation("DRV_CREATE failed");
    {
        std::lock_guard<std::mutex> session(shared_.sessions);
        if (!start_polling(until)) return violation("the first start found no card");
    }
    auto next_restart = SoakClock::now() + std::chrono::milliseconds(pick(1000, 4000));
    // The host goes on until the card's last fault has been seen through; past the recovery bound
    // the script has already counted it as a failure.
    const auto last_call = until + std::chrono::seconds(30);
    for (uint64_t round = 0; (SoakClock::now() < until || !shared_.script_done.load()) && SoakClock::now() < last_call;
         ++round) {
        beat_ms.store(std::chrono::duration_cast<std::chrono::milliseconds>(SoakClock::now().time_since_epoch()).count());
        exchange();
        // A host scans in a loop; a short rest now and then leaves the other core its share.
        if (round % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (SoakClock::now() < next_restart) continue;
        // While a pulled card comes back, only the driver may bring it back: the restart waits.
        std::unique_lock<std::mutex> session(shared_.sessions);
        if (shared_.hold_restarts.load()) continue;

        if (pick(0, 6) == 0) {
            doing.store("DRV_RESET_OUTPUTS");
            if (call(DRV_RESET_OUTPUTS) != 0) violation("DRV_RESET_OUTPUTS failed");
            ++resets_;
        }
        stop_polling();
        measure(SoakClock::now() > warm);
        if (pick(0, 4) == 0) new_instance();
        if (!start_polling(last_call)) break;
        next_restart = SoakClock::now() + std::chrono::milliseconds(pick(1000, 4000));
    }
    stop_polling();
    measure(false);
}

bool SoakHost::report(const FaultCounts& card) const {
    uint64_t injected = 0;
    uint64_t survived = 0;
    std::printf("  faults injected / survived:");
    for (int k = 0; k < kFaultKinds; ++k) {
        std::printf(" %s %" PRIu64 "/%" PRIu64, fault_name(k), card.injected[k], card.survived[k]);
        injected += card.injected[k];
        survived += card.survived[k];
    }
    std::printf("; all %" PRIu64 "/%" PRIu64 "\n", injected, survived);
    std::printf("  card: %" PRIu64 " states sent in well-formed answers, %" PRIu64
                " only in corrupt ones; %" PRIu64 " frames received, %" PRIu64 " malformed\n",
                card.states_sent, card.corrupt_only_states, shared_.frames_valid.load(), shared_.frames_malformed.load());
    std::printf("  host: %" PRIu64 " reads, %" PRIu64 " writes, %" PRIu64 " distinct states read, %" PRIu64
                " reads of the start state; longest read+write %.1f ms\n",
                reads_, writes_, states_seen_, start_state_reads_, longest_exchange_ms_);
    std::printf("  sessions: %" PRIu64 " starts (%" PRIu64 " refused while no card answered), %" PRIu64
                " resets, %" PRIu64 " delete+create; longest stop %.1f ms (bound 5000 ms)\n",
                sessions_, refused_starts_, resets_, recreated_, longest_stop_ms_);
    std::printf("  process: threads %zu -> %zu, descriptors %zu -> %zu, resident %zu kB -> %zu kB (peak %zu kB)\n",
                baseline_.threads, last_.threads, baseline_.descriptors, last_.descriptors, baseline_.resident_kb,
                last_.resident_kb, peak_kb_);

    bool ok = true;
    for (const auto& v : violations_) {
        std::printf("  VIOLATION x%" PRIu64 ": %s\n", v.second, v.first.c_str());
        ok = false;
    }
    for (const std::string& f : card.failures) {
        std::printf("  FAILURE: %s\n", f.c_str());
        ok = false;
    }
    if (!have_baseline_) {
        std::printf("  FAILURE: no stop after the warm-up, so nothing was measured\n");
        ok = false;
    }
    if (shared_.frames_malformed.load() != 0) {
        std::printf("  FAILURE: the driver sent malformed frames\n");
        ok = false;
    }
    if (shared_.frames_torn.load() != 0) {
        std::printf("  FAILURE: %" PRIu64 " frames carried outputs the host never wrote (two writes mixed)\n",
                    shared_.frames_torn.load());
        ok = false;
    }
    if (options_.rss_growth_kb != 0 && last_.resident_kb > baseline_.resident_kb + options_.rss_growth_kb) {
        std::printf("  FAILURE: resident memory grew by more than %zu kB\n", options_.rss_growth_kb);
        ok = false;
    }
    for (int k = 0; k < kFaultKinds; ++k) {
        if (card.injected[k] != 0) continue;
        std::printf("  FAILURE: no %s fault was injected (the run is too short to try every kind)\n", fault_name(k));
        ok = false;
    }
    return ok;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds") {
            o.seconds = std::atof(value);
        } else if (name == "--seed") {
            o.seed = std::strtoull(value, nullptr, 10);
        } else if (name == "--verbose") {
            o.verbose = std::atoi(value) != 0;
        } else if (name == "--rss-growth-kb") {
            o.rss_growth_kb = std::strtoull(value, nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--seed N] [--rss-growth-kb K] [--verbose 0|1]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const std::string ports = make_folder("vek-soak-ports");
    const std::string config = make_folder("vek-soak-config") + "/host.ini";
    ::setenv(vek::kPortsFolderVariable, ports.c_str(), 1);

    SoakShared shared;
    shared.verbose = options.verbose;
    VirtualCard::Options card_options{ports + "/com1", true};
    // Unplugged, COM1 names a missing file rather than the old pty's number, which another
    // program on the machine may be given meanwhile: the driver, reopening the port by itself,
    // would then talk to that program's terminal.
    card_options.unplugged_target = ports + "/unplugged";
    card_options.on_frame = [&shared](const ReceivedFrame& f) {
        ++(f.valid ? shared.frames_valid : shared.frames_malformed);
        if (f.valid && !written_outputs({f.bytes[1], f.bytes[2], f.bytes[3], f.bytes[4]})) ++shared.frames_torn;
    };
    VirtualCard card(card_options);
    std::string error;
    if (!card.start(&error)) {
        std::fprintf(stderr, "fault soak: no virtual card: %s\n", error.c_str());
        return 2;
    }

    const auto started = SoakClock::now();
    const auto until = started + std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000.0));
    SoakHost host(shared, options, config);
    CardScript script(card, shared, options.seed);
    script.first_state();
    std::thread card_thread([&] {
        script.run(until);
        // Kept until the host has taken its last counts, which include this thread.
        while (!shared.stopping.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    std::thread watchdog([&] {
        while (!shared.stopping.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int64_t now =
                std::chrono::duration_cast<std::chrono::milliseconds>(SoakClock::now().time_since_epoch()).count();
            const int64_t beat = host.beat_ms.load();
            if (beat != 0 && now - beat > kHangSeconds * 1000) {
                std::fprintf(stderr, "fault soak: hang: the host's thread has been in %s for %d s\n", host.doing.load(),
                             kHangSeconds);
                std::abort();
            }
        }
    });

    host.run(started, until);
    shared.stopping.store(true);
    card_thread.join();
    watchdog.join();

    std::printf("fault soak: %.0f s, seed %" PRIu64 "\n", ms_between(started, SoakClock::now()) / 1000.0, options.seed);
    const bool ok = host.report(script.counts());
    std::printf("fault soak: %s\n", ok ? "every check held" : "FAILED");
    return ok ? 0 : 1;
}
