// The real DLL polling a virtual card under Wine. A 32-bit stand-in for the host loads the DLL,
// starts, stops and resets instances, and exchanges the host's tables with the card; it follows
// what the card received in the card's frame log and changes the card through its control FIFO.
// One scenario per run; poll_test.sh puts a fresh card on COM3 for each and names its files.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "windows_model.h"
#include "wine_test_support.h"

namespace {

constexpr uint32_t kStart = 0;
constexpr uint32_t kStop = 1;
constexpr uint32_t kResetOutputs = 2;
constexpr uint32_t kReadInputs = 3;
constexpr uint32_t kWriteOutputs = 4;
constexpr uint32_t kCreate = 0xFFFE;
constexpr uint32_t kDelete = 0xFFFF;

// How long a step may take before it counts as never happening: generous, for a slow machine.
constexpr double kStepBoundMs = 3000;

// A port that is gone may wake the driver's threads at most this often: a count, not a time.
// A reconnect attempt a second, each about eight waits of the opener thread; a second measured
// may hold two of them. Polling a lost port, as before the reconnect, took a hundred.
constexpr double kLostPortWakeupsLimit = 20;
// A port that opens again each second and fails at once: the opener and the port's watch thread
// also start and end each time.
constexpr double kReopenedPortWakeupsLimit = 20;

// The DLL's wake-ups (its calls of Sleep and the wait functions) a second, over about a second.
double wakeups_a_second() {
    const long before = model_counters().waits.load();
    const double t0 = now_ms();
    Sleep(1000);
    return static_cast<double>(model_counters().waits.load() - before) * 1000.0 / (now_ms() - t0);
}

// ---------------------------------------------------------------------------------------------
// The card's side: the frames it received, and its control FIFO.

using Frame = std::array<uint8_t, 7>;

// An output frame as the card must receive it: 02, outputs 1-8, outputs 9-16, analog 1,
// analog 2, 03, and the checksum that makes the byte sum 0x01.
Frame frame_of(uint8_t out1_8, uint8_t out9_16, uint8_t analog1, uint8_t analog2) {
    Frame f{0x02, out1_8, out9_16, analog1, analog2, 0x03, 0};
    unsigned sum = 0;
    for (std::size_t i = 0; i < 6; ++i) sum += f[i];
    f[6] = static_cast<uint8_t>(0x01U - sum);
    return f;
}
const Frame kAllOff{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
const Frame kOutput3On{0x02, 0x04, 0x00, 0x00, 0x00, 0x03, 0xF8};

std::string hex(const Frame& f) {
    std::string s;
    char b[4];
    for (uint8_t byte : f) {
        std::snprintf(b, sizeof b, "%02X ", byte);
        s += b;
    }
    s.pop_back();
    return s;
}

struct LoggedFrame {
    double ms;  // on the card's clock
    Frame bytes;
};

// The card's files: NAME.log (a line per frame received: "<ms> <7 bytes> valid|invalid"),
// NAME.ctl (its control FIFO) and NAME.out (its replies).
struct Card {
    std::string log, control, out;

    // The valid frames received so far, in order. A line still being written is left out.
    std::vector<LoggedFrame> frames() const {
        std::vector<LoggedFrame> got;
        const std::string text = read_text(log);
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = text.substr(at, end - at);
            LoggedFrame f{};
            unsigned b[7];
            char verdict[16] = {};
            if (std::sscanf(line.c_str(), "%lf %x %x %x %x %x %x %x %15s", &f.ms, &b[0], &b[1], &b[2], &b[3], &b[4],
                            &b[5], &b[6], verdict) != 9 ||
                std::strcmp(verdict, "valid") != 0) {
                continue;
            }
            for (std::size_t i = 0; i < 7; ++i) f.bytes[i] = static_cast<uint8_t>(b[i]);
            got.push_back(f);
        }
        return got;
    }

    // The index of the first frame at or after `from` with these bytes, waiting for it up to
    // bound_ms; -1 when it never came.
    long wait_for(const Frame& want, std::size_t from, double bound_ms = kStepBoundMs) const {
        const double give_up = now_ms() + bound_ms;
        for (;;) {
            const std::vector<LoggedFrame> all = frames();
            for (std::size_t i = from; i < all.size(); ++i) {
                if (all[i].bytes == want) return static_cast<long>(i);
            }
            if (now_ms() > give_up) return -1;
            Sleep(5);
        }
    }

    // Frames received after the last one with these bytes (all of them if none has it).
    std::vector<LoggedFrame> frames_after_last(const Frame& marker) const {
        const std::vector<LoggedFrame> all = frames();
        std::size_t from = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].bytes == marker) from = i + 1;
        }
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }

    std::vector<std::string> replies() const {
        std::vector<std::string> lines;
        const std::string text = read_text(out);
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            const std::string line = text.substr(at, end - at);
            if (line.rfind("ok", 0) == 0 || line.rfind("error:", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    // Sends one command and returns the card's reply to it, "" when none came.
    std::string command(const std::string& line) const {
        const std::size_t before = replies().size();
        const double give_up = now_ms() + kStepBoundMs;
        const bool sent = send_card_command(control, line, give_up);
        while (sent && now_ms() < give_up) {
            const std::vector<std::string> now = replies();
            if (now.size() > before) return now[before];
            Sleep(5);
        }
        std::printf("FAIL: the card did not answer \"%s\"\n", line.c_str());
        ++g_failures;
        return "";
    }

    bool wait_for_reply_containing(const char* text, double bound_ms) const {
        const double give_up = now_ms() + bound_ms;
        while (now_ms() < give_up) {
            for (const std::string& line : replies()) {
                if (line.find(text) != std::string::npos) return true;
            }
            Sleep(5);
        }
        return false;
    }
};

// Intervals between consecutive frames with these bytes, from index `from` of the log.
std::vector<double> periods(const std::vector<LoggedFrame>& all, std::size_t from, const Frame& bytes) {
    std::vector<double> gaps;
    for (std::size_t i = from + 1; i < all.size(); ++i) {
        if (all[i].bytes == bytes && all[i - 1].bytes == bytes) gaps.push_back(all[i].ms - all[i - 1].ms);
    }
    return gaps;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double largest(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// ---------------------------------------------------------------------------------------------
// The host's side.

std::string g_ini;  // the configuration file every call names
std::vector<std::pair<int32_t, int32_t>> g_set_inputs;

void __cdecl record_set_input(int32_t index, int32_t value) { g_set_inputs.emplace_back(index, value); }

struct Instance {
    uint32_t number;
    RawDriverRecord rec;
};

int32_t call(Driver& d, Instance& i, uint32_t command) { return d.call(i.number, command, &i.rec, g_ini); }

// Runs a command and gives its time in milliseconds.
double timed(Driver& d, Instance& i, uint32_t command, int32_t* result) {
    const double t0 = now_ms();
    *result = call(d, i, command);
    return now_ms() - t0;
}

void set_input_base(Driver& d, int32_t base) { d.host.set_input_base(base); }

void use_set_input(Driver& d) { d.host.set_input_callback(&record_set_input); }

// What one DRV_READ_INPUTS reported: "" when it is inputs `on` (numbered 1-16) on and the rest
// off, at host indices first..first+15 in order; otherwise what it did report.
std::string inputs_differ(const std::vector<std::pair<int32_t, int32_t>>& calls, int32_t first,
                          std::initializer_list<int> on) {
    bool same = calls.size() == 16;
    for (std::size_t k = 0; same && k < 16; ++k) {
        const int32_t want = std::find(on.begin(), on.end(), static_cast<int>(k + 1)) != on.end() ? 1 : 0;
        same = calls[k].first == first + static_cast<int32_t>(k) && calls[k].second == want;
    }
    if (same) return "";
    std::string seen = std::to_string(calls.size()) + " calls:";
    for (const auto& c : calls) seen += " " + std::to_string(c.first) + "=" + std::to_string(c.second);
    return seen;
}

// Reads inputs until they show `on` (bounded); false, with what was seen, when they never did.
bool wait_for_inputs(Driver& d, Instance& i, int32_t first, std::initializer_list<int> on, const char* what) {
    const double give_up = now_ms() + kStepBoundMs;
    std::string differ;
    do {
        g_set_inputs.clear();
        CHECK_EQ(call(d, i, kReadInputs), 0, "read inputs");
        differ = inputs_differ(g_set_inputs, first, on);
        if (differ.empty()) return true;
        Sleep(5);
    } while (now_ms() < give_up);
    std::printf("FAIL: %s: read inputs gave %s\n", what, differ.c_str());
    ++g_failures;
    return false;
}

void check_inputs_now(Driver& d, Instance& i, int32_t first, std::initializer_list<int> on, const char* what) {
    g_set_inputs.clear();
    CHECK_EQ(call(d, i, kReadInputs), 0, "read inputs");
    const std::string differ = inputs_differ(g_set_inputs, first, on);
    if (differ.empty()) return;
    std::printf("FAIL: %s: read inputs gave %s\n", what, differ.c_str());
    ++g_failures;
}

void check_volts(float got, double want, const char* what) {
    if (std::fabs(static_cast<double>(got) - want) < 1e-4) return;
    std::printf("FAIL: %s: %.5f V, want %.5f V\n", what, static_cast<double>(got), want);
    ++g_failures;
}

bool wait_for_word(const Driver& d, std::size_t at, uint16_t want) {
    const double give_up = now_ms() + kStepBoundMs;
    while (d.host.words[at] != want) {
        if (now_ms() > give_up) return false;
        Sleep(1);
    }
    return true;
}

// Handles this process holds. Wine's GetProcessHandleCount succeeds with 0 every time, so the
// count then comes from the system's handle list, as on Windows (class 16, one entry a handle).
long handle_count() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return static_cast<long>(n);

    struct HandleEntry {
        USHORT process_id;
        USHORT creator_back_trace_index;
        UCHAR object_type;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleList {
        ULONG count;
        HandleEntry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<unsigned char> buffer(1 << 16);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    HandleList list;
    std::memcpy(&list.count, buffer.data(), sizeof list.count);
    const std::size_t first = offsetof(HandleList, entries);
    const auto me = static_cast<USHORT>(GetCurrentProcessId());
    long mine = 0;
    for (ULONG i = 0; i < list.count && first + (i + 1) * sizeof(HandleEntry) <= buffer.size(); ++i) {
        HandleEntry e;
        std::memcpy(&e, buffer.data() + first + i * sizeof e, sizeof e);
        if (e.process_id == me) ++mine;
    }
    return mine;
}

// How long a change of the card's inputs takes to reach read inputs: the median of six changes,
// each read back every millisecond. The card starts with inputs 1 and 16 on and ends so.
double input_change_ms(Driver& d, Instance& i, const Card& card) {
    std::vector<double> samples;
    for (int k = 0; k < 6; ++k) {
        const bool input2 = k % 2 == 0;
        card.command(input2 ? "inputs FD 7F" : "inputs FE 7F");
        const double t0 = now_ms();
        std::string differ;
        do {
            g_set_inputs.clear();
            call(d, i, kReadInputs);
            differ = input2 ? inputs_differ(g_set_inputs, 0, {2, 16}) : inputs_differ(g_set_inputs, 0, {1, 16});
            if (differ.empty()) break;
            Sleep(1);
        } while (now_ms() - t0 < kStepBoundMs);
        check(differ.empty(), ("an input change reaches read inputs; it gave " + differ).c_str());
        samples.push_back(now_ms() - t0);
    }
    return median(samples);
}

// The card must hear the all-off frame last, and nothing once stop has returned.
void check_stopped_with_all_off(const Card& card, const char* what) {
    // The frame left before stop returned: give the card a moment to log it.
    for (const double give_up = now_ms() + 1000; now_ms() < give_up; Sleep(5)) {
        const std::vector<LoggedFrame> so_far = card.frames();
        if (!so_far.empty() && so_far.back().bytes == kAllOff) break;
    }
    const std::size_t n = card.frames().size();
    Sleep(300);  // several cycles of a poll thread that would still be running
    const std::vector<LoggedFrame> all = card.frames();
    CHECK_EQ(all.size(), n, (std::string(what) + ": frames after stop returned").c_str());
    check(!all.empty() && all.back().bytes == kAllOff,
          (std::string(what) + ": the last frame is the all-off frame, got " +
           (all.empty() ? "none" : hex(all.back().bytes)))
              .c_str());
}

// A failed start shows the no-card message box and waits for the user: a watcher closes any
// such box at once and counts it, so a card that is not found fails the run instead of hanging it.
class BoxWatcher {
public:
    BoxWatcher()
        : thread_([this] {
              while (!done_.load()) {
                  HWND box = FindWindowA(nullptr, "VEK KORVANEX driver");
                  if (box != nullptr && IsWindowVisible(box)) {
                      ++boxes_;
                      SendMessageA(box, WM_COMMAND, IDOK, 0);
                      for (int i = 0; i < 500 && IsWindow(box); ++i) Sleep(10);
                  }
                  Sleep(20);
              }
          }) {}
    ~BoxWatcher() { finish(); }
    int finish() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        return boxes_.load();
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<int> boxes_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// Scenarios. The script's card starts on COM3 with inputs FE 7F (inputs 1 and 16 on), and in
// some scenarios analog raw values 512 and 1023; COM1, COM2 and every other port are absent.

// A typical run: start, the start word, the inputs and volts read, outputs written, stop; then
// driver number 1 with its own host entries.
void cycle(Driver& d, const Card& card) {
    write_text(g_ini, "[korvanex-vek-driver-0]\r\ndelay=50\r\n[korvanex-vek-driver-1]\r\ndelay=50\r\n");
    RawHost& host = d.host;
    Instance a{0, {}};
    CHECK_EQ(call(d, a, kCreate), 0, "create number 0");
    host.words[42] = 0xA5A5;
    int32_t result = -1;
    const double start_ms = timed(d, a, kStart, &result);
    CHECK_EQ(result, 0, "start finds the card on COM3");
    std::printf("start, COM1 and COM2 absent, the card on COM3: %.0f ms\n", start_ms);
    check(wait_for_word(d, 42, 0), "the poll thread clears word 42", host.words[42], 0);

    wait_for_inputs(d, a, 0, {1, 16}, "number 0, card inputs FE 7F");
    check_volts(host.reals[200], 2.50244, "analog input 1 (raw 512)");
    check_volts(host.reals[201], 5.0, "analog input 2 (raw 1023)");

    // Output 3 on.
    std::size_t from = card.frames().size();
    host.output_states[2] = 0x40;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    check(card.wait_for(kOutput3On, from) >= 0, "the card receives 02 04 00 00 00 03 F8");

    // Only bit 0x40 switches an output; an analog output is the low byte of its word. Number 1's
    // entries, set all on, must not reach number 0's frame.
    from = card.frames().size();
    host.output_states[3] = 0xBF;
    host.output_states[8] = 0x41;
    host.words[200] = 0x0123;
    host.words[201] = 0xFF80;
    for (int k = 16; k < 32; ++k) host.output_states[k] = 0x40;
    host.words[202] = host.words[203] = 0x0055;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    const Frame mixed = frame_of(0x04, 0x01, 0x23, 0x80);
    check(card.wait_for(mixed, from) >= 0, ("the card receives " + hex(mixed)).c_str());

    const double stop_ms = timed(d, a, kStop, &result);
    CHECK_EQ(result, 0, "stop");
    std::printf("stop at delay 50: %.0f ms\n", stop_ms);
    check(stop_ms < 3000, "stop returns within 3 s", static_cast<long>(stop_ms), 3000);
    check_stopped_with_all_off(card, "stop");
    // The image stays as last reported, and the host may still read it.
    check_inputs_now(d, a, 0, {1, 16}, "read inputs after stop");

    // Driver number 1: host indices input_base + 16..31, reals 202 and 203, outputs 16..31 and
    // words 202 and 203. It runs as a second instance once the first has stopped.
    card.command("inputs 7F FE");  // inputs 8 and 9 on
    card.command("analog 1 0");
    card.command("analog 2 205");
    Instance b{1, {}};
    CHECK_EQ(call(d, b, kCreate), 0, "create number 1");
    set_input_base(d, 100);
    for (int k = 200; k < 204; ++k) host.reals[k] = -1.0F;
    CHECK_EQ(call(d, b, kStart), 0, "start number 1");
    wait_for_inputs(d, b, 116, {8, 9}, "number 1 with input base 100, card inputs 7F FE");
    check_volts(host.reals[202], 0.0, "number 1, analog input 1 (raw 0)");
    check_volts(host.reals[203], 1.00196, "number 1, analog input 2 (raw 205)");
    check(host.reals[200] == -1.0F && host.reals[201] == -1.0F, "number 1 leaves number 0's reals alone");

    from = card.frames().size();
    for (int k = 16; k < 32; ++k) host.output_states[k] = 0;
    host.output_states[16 + 5] = 0x40;   // output 6
    host.output_states[16 + 15] = 0x40;  // output 16
    host.words[202] = 0x0110;
    host.words[203] = 0x0200;
    CHECK_EQ(call(d, b, kWriteOutputs), 0, "write outputs, number 1");
    const Frame second = frame_of(0x20, 0x80, 0x10, 0x00);
    check(card.wait_for(second, from) >= 0, ("number 1: the card receives " + hex(second)).c_str());

    CHECK_EQ(call(d, b, kStop), 0, "stop number 1");
    check_stopped_with_all_off(card, "stop number 1");
    CHECK_EQ(call(d, b, kDelete), 0, "delete number 1");
    CHECK_EQ(call(d, a, kDelete), 0, "delete number 0");
    set_input_base(d, 0);
}

// Stop: at once on a never-started instance; start again after a stop; start and stop 30 times
// without a thread or handle left behind; a stop during a delay of an hour.
void stop(Driver& d, const Card& card) {
    write_text(g_ini, "[korvanex-vek-driver-0]\r\ndelay=50\r\n[korvanex-vek-driver-1]\r\ndelay=3600000\r\n");
    RawHost& host = d.host;
    int32_t result = -1;

    Instance idle{0, {}};
    CHECK_EQ(call(d, idle, kCreate), 0, "create");
    const double idle_ms = timed(d, idle, kStop, &result);
    CHECK_EQ(result, 0, "stop of a never-started instance");
    std::printf("stop of a never-started instance: %.1f ms\n", idle_ms);
    check(idle_ms < 1000, "stop of a never-started instance returns at once", static_cast<long>(idle_ms), 1000);

    Instance fast{0, {}};
    CHECK_EQ(call(d, fast, kCreate), 0, "create");
    CHECK_EQ(call(d, fast, kStart), 0, "start");
    wait_for_inputs(d, fast, 0, {1, 16}, "first start");
    CHECK_EQ(call(d, fast, kStop), 0, "stop");
    card.command("inputs FF FE");  // input 9 alone: only a polling instance can see it
    CHECK_EQ(call(d, fast, kStart), 0, "start after a stop");
    wait_for_inputs(d, fast, 0, {9}, "start after a stop");
    CHECK_EQ(call(d, fast, kStop), 0, "stop");

    const long threads_before = thread_count();
    const long handles_before = handle_count();
    std::vector<double> stop_times;
    for (int round = 0; round < 30; ++round) {
        host.words[42] = 1;
        CHECK_EQ(call(d, fast, kStart), 0, "start");
        const bool polling = wait_for_word(d, 42, 0);
        check(polling, "each start runs a poll thread", round);
        stop_times.push_back(timed(d, fast, kStop, &result));
        CHECK_EQ(result, 0, "stop");
        if (!polling) break;
    }
    const long threads_after = thread_count();
    const long handles_after = handle_count();
    std::printf("30 start/stop rounds: threads %ld -> %ld, handles %ld -> %ld, stop median %.1f ms, max %.1f ms\n",
                threads_before, threads_after, handles_before, handles_after, median(stop_times), largest(stop_times));
    check(handles_before > 0, "the handle count can be read");
    CHECK_EQ(threads_after, threads_before, "threads after 30 start/stop rounds");
    CHECK_EQ(handles_after, handles_before, "handles after 30 start/stop rounds");

    // An hour between send and answer: the thread sends once and waits; stop cuts the wait short.
    Instance slow{1, {}};
    CHECK_EQ(call(d, slow, kCreate), 0, "create with delay 3600000");
    host.words[42] = 1;
    CHECK_EQ(call(d, slow, kStart), 0, "start with delay 3600000");
    check(wait_for_word(d, 42, 0), "the poll thread starts");
    Sleep(300);  // into its wait
    const std::size_t waiting = card.frames().size();
    const double slow_ms = timed(d, slow, kStop, &result);
    CHECK_EQ(result, 0, "stop during a delay of an hour");
    std::printf("stop during a delay of an hour: %.0f ms\n", slow_ms);
    check(slow_ms < 3000, "stop during a delay of an hour returns within 3 s", static_cast<long>(slow_ms), 3000);
    check_stopped_with_all_off(card, "stop during a delay of an hour");
    CHECK_EQ(card.frames().size(), waiting + 1, "frames during the hour's wait and its stop: the all-off frame only");

    for (Instance* i : {&slow, &fast, &idle}) CHECK_EQ(call(d, *i, kDelete), 0, "delete");
}

// Driver number 0, created at a delay of 50 ms and started, with the card's inputs read once.
void start_at_delay_50(Driver& d, Instance& a) {
    write_text(g_ini, "[korvanex-vek-driver-0]\r\ndelay=50\r\n");
    CHECK_EQ(call(d, a, kCreate), 0, "create");
    CHECK_EQ(call(d, a, kStart), 0, "start");
    wait_for_inputs(d, a, 0, {1, 16}, "start");
}

// Reset outputs: the card takes the all-off frame before it returns; with a silent card it gives
// up after its bound.
void reset(Driver& d, const Card& card) {
    RawHost& host = d.host;
    Instance a{0, {}};
    start_at_delay_50(d, a);

    const Frame all_on = frame_of(0xFF, 0xFF, 0xFF, 0xFF);
    std::size_t from = card.frames().size();
    std::memset(host.output_states, 0x40, 16);
    host.words[200] = host.words[201] = 0x00FF;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    check(card.wait_for(all_on, from) >= 0, "the card receives every output on");

    int32_t result = -1;
    const double answered_ms = timed(d, a, kResetOutputs, &result);
    CHECK_EQ(result, 0, "reset outputs");
    std::vector<LoggedFrame> after = card.frames_after_last(all_on);
    const bool all_off =
        std::all_of(after.begin(), after.end(), [](const LoggedFrame& f) { return f.bytes == kAllOff; });
    std::printf("reset outputs, card answering: %.0f ms, %zu all-off frames received by then\n", answered_ms,
                after.size());
    check(all_off, "after a reset the card receives only all-off frames");
    // The reset's own frame and at least one poll cycle's.
    check(after.size() >= 2, "reset returns once a poll cycle has sent the outputs off",
          static_cast<long>(after.size()), 2);
    check(answered_ms < 1900, "with an answering card, reset returns before its 2 s bound",
          static_cast<long>(answered_ms), 1900);

    // The host's tables still hold the outputs on: the next write sends them again.
    from = card.frames().size();
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    check(card.wait_for(all_on, from) >= 0, "the next write switches the outputs on again");

    card.command("silent on");
    const double silent_ms = timed(d, a, kResetOutputs, &result);
    CHECK_EQ(result, 0, "reset outputs, card silent");
    std::printf("reset outputs, card silent: %.0f ms\n", silent_ms);
    check(silent_ms < 5000, "with a silent card, reset returns within 5 s", static_cast<long>(silent_ms), 5000);
    check(silent_ms > 1500, "with a silent card, reset waits for answers until its 2 s bound",
          static_cast<long>(silent_ms), 2000);
    after = card.frames_after_last(all_on);
    check(!after.empty() && after.front().bytes == kAllOff, "a silent card still receives the all-off frame");

    card.command("silent off");

    // How soon read inputs shows a change of the card's inputs, before and after four resets
    // with the card answering, each of which has the card answer one frame more. Answers left
    // queued would put the inputs a cycle (about 50 ms) further behind for each reset.
    const double before_ms = input_change_ms(d, a, card);
    for (int k = 0; k < 4; ++k) CHECK_EQ(call(d, a, kResetOutputs), 0, "reset outputs");
    const double after_ms = input_change_ms(d, a, card);
    std::printf("an input change reaches read inputs in: %.0f ms (median), %.0f ms after four resets\n", before_ms,
                after_ms);
    check(after_ms < before_ms + 100, "resets do not leave the inputs behind", static_cast<long>(after_ms),
          static_cast<long>(before_ms));

    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// A card that stops answering: the cycle stretches to the answer window, and the inputs keep
// what the card last reported. Prints the cycle period with the card answering and silent.
void silent(Driver& d, const Card& card) {
    RawHost& host = d.host;
    Instance a{0, {}};
    start_at_delay_50(d, a);

    const Frame answering = frame_of(0x01, 0x00, 0x00, 0x00);  // output 1 on
    host.output_states[0] = 0x40;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    const long first_answered = card.wait_for(answering, 0);
    check(first_answered >= 0, "the card receives output 1 on");
    Sleep(2000);
    const std::vector<double> answered =
        periods(card.frames(), static_cast<std::size_t>(std::max(first_answered, 0L)), answering);
    const double answered_median = median(answered);
    std::printf("cycle period at delay 50, card answering: median %.1f ms, max %.1f ms over %zu cycles\n",
                answered_median, largest(answered), answered.size());
    check(answered_median >= 45 && answered_median <= 150, "cycle period at delay 50 between 45 and 150 ms",
          static_cast<long>(answered_median));

    card.command("silent on");
    const Frame unanswered = frame_of(0x02, 0x00, 0x00, 0x00);  // output 2 on
    host.output_states[0] = 0;
    host.output_states[1] = 0x40;
    const std::size_t from = card.frames().size();
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    const long first_silent = card.wait_for(unanswered, from);
    check(first_silent >= 0, "a silent card still receives output 2 on");
    const ModelCounters& counters = model_counters();
    const long waits = counters.waits.load();
    const long reads = counters.port_reads.load();
    Sleep(2000);
    const std::vector<double> silent_periods =
        periods(card.frames(), static_cast<std::size_t>(std::max(first_silent, 0L)), unanswered);
    const double silent_median = median(silent_periods);
    std::printf("cycle period at delay 50, card silent: median %.1f ms, max %.1f ms over %zu cycles\n", silent_median,
                largest(silent_periods), silent_periods.size());
    std::printf("a second with the card silent: %ld wake-ups, %ld port reads\n", (counters.waits.load() - waits) / 2,
                (counters.port_reads.load() - reads) / 2);
    check(silent_median >= 150 && silent_median <= 400, "cycle period with a silent card between 150 and 400 ms",
          static_cast<long>(silent_median));

    check_inputs_now(d, a, 0, {1, 16}, "a silent card leaves the inputs as last reported");
    check_volts(host.reals[200], 2.50244, "a silent card leaves analog input 1 as last reported");
    check_volts(host.reals[201], 5.0, "a silent card leaves analog input 2 as last reported");

    int32_t result = -1;
    const double stop_ms = timed(d, a, kStop, &result);
    CHECK_EQ(result, 0, "stop");
    std::printf("stop with the card silent: %.0f ms\n", stop_ms);
    check(stop_ms < 3000, "stop with a silent card returns within 3 s", static_cast<long>(stop_ms), 3000);
    check_stopped_with_all_off(card, "stop with the card silent");
    card.command("silent off");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// The cable is pulled while polling: the inputs keep their last values, the outputs written
// meanwhile go out in the first frame after the replug, fresh inputs follow with no host command,
// and a stop in the middle of a reconnect returns, leaving nothing running.
void unplug(Driver& d, const Card& card) {
    write_text(g_ini, "[korvanex-vek-driver-0]\r\ndelay=50\r\n");
    Instance a{0, {}};
    CHECK_EQ(call(d, a, kCreate), 0, "create");
    const long threads_before = thread_count();
    CHECK_EQ(call(d, a, kStart), 0, "start");
    wait_for_inputs(d, a, 0, {1, 16}, "start");

    card.command("after " + std::to_string(card.frames().size() + 10) + " unplug");
    check(card.wait_for_reply_containing("unplugged", 5000), "the card is unplugged while polling");
    Sleep(300);  // the cycle in flight finds the port gone
    const double wakeups = wakeups_a_second();
    std::printf("wake-ups a second with the port lost: %.0f\n", wakeups);
    check(wakeups <= kLostPortWakeupsLimit, "a lost port wakes the driver at most 20 times a second",
          static_cast<long>(wakeups), static_cast<long>(kLostPortWakeupsLimit));
    check_inputs_now(d, a, 0, {1, 16}, "read inputs after the unplug");
    d.host.output_states[2] = 0x40;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs while the port is lost");
    card.command("inputs 7F FE");  // inputs 8 and 9 on

    const std::size_t before_replug = card.frames().size();
    const double replugged_at = now_ms();
    card.command("replug");
    wait_for_inputs(d, a, 0, {8, 9}, "fresh inputs after a replug, with no host command");
    std::printf("fresh inputs %.0f ms after the replug\n", now_ms() - replugged_at);
    const std::vector<LoggedFrame> after = card.frames();
    check(after.size() > before_replug && after[before_replug].bytes == kOutput3On,
          "the first frame after the replug carries the outputs written meanwhile");

    card.command("unplug");
    check(card.wait_for_reply_containing("unplugged", 5000), "the card is unplugged again");
    Sleep(300);
    int32_t result = -1;
    const double stop_ms = timed(d, a, kStop, &result);
    CHECK_EQ(result, 0, "stop during a reconnect");
    std::printf("stop during a reconnect: %.0f ms\n", stop_ms);
    check(stop_ms < 6000, "stop during a reconnect returns within 6 s", static_cast<long>(stop_ms), 6000);
    CHECK_EQ(thread_count(), threads_before, "threads after a stop on a lost port");

    card.command("replug");
    CHECK_EQ(call(d, a, kStart), 0, "start after a replug");
    wait_for_inputs(d, a, 0, {8, 9}, "start after a replug");
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(thread_count(), threads_before, "threads after the last stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// Start finds the card on COM3, behind whatever the script put on COM1 and COM2, and polls it.
// The time start takes is printed: with a silent card on COM2 it is that port's 100 probes.
void found(Driver& d, const Card&) {
    write_text(g_ini, "[korvanex-vek-driver-0]\r\ndelay=50\r\n");
    Instance a{0, {}};
    CHECK_EQ(call(d, a, kCreate), 0, "create");
    int32_t result = -1;
    const double start_ms = timed(d, a, kStart, &result);
    CHECK_EQ(result, 0, "start finds the card on COM3");
    std::printf("start, the card on COM3: %.0f ms\n", start_ms);
    // The host's thread waits for start: one port must not hold it for long.
    check(start_ms < 5000, "start returns within 5 s", static_cast<long>(start_ms), 5000);
    if (result == 0) wait_for_inputs(d, a, 0, {1, 16}, "start");
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// Calls the driver on a thread of its own and waits at most bound_ms. A call that does not
// return by then fails the run at once: the process is ended, since the call may hold the
// driver's locks for good.
int32_t bounded_call(Driver& d, Instance& i, uint32_t command, double bound_ms, const char* what) {
    std::atomic<int32_t> result{-1};
    std::atomic<bool> done{false};
    std::thread caller([&] {
        result = call(d, i, command);
        done = true;
    });
    for (const double give_up = now_ms() + bound_ms; !done.load() && now_ms() < give_up;) Sleep(20);
    if (!done.load()) {
        std::printf("FAIL: %s has not returned after %.0f s\n", what, bound_ms / 1000);
        ++g_failures;
        report();
        TerminateProcess(GetCurrentProcess(), 1);
    }
    caller.join();
    return result.load();
}

// The card sends its answers a byte every 10 ms, so the last bytes come after the 50 ms delay and
// are waited for with a read. This port's driver keeps such a read until the driver cancels it
// at its bound, then completes it, aborted, with the bytes that came meanwhile: they are part of
// the answer, which must not be lost.
void late_answer(Driver& d, const Card& card) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    card.command("split 10");  // only now: discovery's 100 frames would queue 100 slow answers
    switch_on_model_fault(kCancelKeepsBytes);
    card.command("inputs FD 7F");
    wait_for_inputs(d, a, 0, {2, 16}, "an answer whose read was cancelled reaches read inputs");
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// The DLL's port reads over the next second, printed with what was going on.
long port_reads_in_a_second(const char* during) {
    const long before = model_counters().port_reads.load();
    Sleep(1000);
    const long reads = model_counters().port_reads.load() - before;
    std::printf("port reads a second, %s: %ld\n", during, reads);
    return reads;
}

// A silent card on a port whose driver ends a read that would wait at once, with no bytes. The
// answer wait is a read that ends when the answer is in; a loop on such reads would not wait.
void silent_spin(Driver& d, const Card& card) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    switch_on_model_fault(kReadEndsAtOnce);
    card.command("silent on");
    const long reads = port_reads_in_a_second("card silent, reads ending at once");
    check(reads < 1500, "the answer wait does not spin: port reads a second with the card silent", reads, 1500);
    card.command("silent off");
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// The poll thread's status query takes 6 s once (a USB driver busy with its device), longer
// than stop waits. Stop must still return, and leave the port fit for the next start.
void status_stall(Driver& d, const Card&) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    switch_on_model_fault(kStatusStall);
    Sleep(200);  // into the stall
    const double t0 = now_ms();
    CHECK_EQ(bounded_call(d, a, kStop, 20000, "stop during a 6 s status query"), 0, "stop");
    std::printf("stop during a 6 s status query: %.0f ms\n", now_ms() - t0);
    const int32_t result = bounded_call(d, a, kStart, 20000, "start after a stop during a 6 s status query");
    CHECK_EQ(result, 0, "start after a stop during a 6 s status query finds the card");
    if (result == 0) wait_for_inputs(d, a, 0, {1, 16}, "start after a stop during a 6 s status query");
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// Reads fail while the status query goes on counting the answers as they arrive (a port in
// trouble, not a removed one). The hunt for a frame must end at the failed read: on the count
// alone it looped, tens of thousands of reads a second, and never looked for a stop.
void failing_reads(Driver& d, const Card&) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    switch_on_model_fault(kReadsFail);
    Sleep(300);  // answers pile up in the queue
    const long reads = port_reads_in_a_second("reads failing, answers counted");
    check(reads < 1500, "the hunt ends at a failed read: port reads a second", reads, 1500);
    CHECK_EQ(bounded_call(d, a, kStop, 20000, "stop while reads fail"), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

// Set by a scenario that ends with the DLL polling: the process then exits with it loaded.
bool g_left_polling = false;

// Output 3 on, as the card receives it: a frame the all-off frame can be told from.
void switch_output_3_on(Driver& d, Instance& a, const Card& card) {
    const std::size_t from = card.frames().size();
    d.host.output_states[2] = 0x40;
    CHECK_EQ(call(d, a, kWriteOutputs), 0, "write outputs");
    check(card.wait_for(kOutput3On, from) >= 0, "the card receives output 3 on");
}

// The host frees the library while an instance polls, without stopping it. The poll thread holds
// the module loaded, so nothing runs in unmapped code: it polls on until the process exits, and
// the card then gets the all-off frame last (poll_test.sh reads the card's log after the run).
void unload_polling(Driver& d, const Card& card) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    switch_output_3_on(d, a, card);
    check(FreeLibrary(d.module) != 0, "FreeLibrary while polling");
    d.module = nullptr;
    const std::size_t from = card.frames().size();
    Sleep(500);  // a thread left in unmapped code would have crashed the process by now
    check(card.frames().size() > from, "the poll thread polls on after FreeLibrary");
    g_left_polling = true;
}

// The process exits while an instance polls: the card gets the all-off frame last
// (poll_test.sh reads the card's log after the run).
void exit_polling(Driver& d, const Card& card) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    switch_output_3_on(d, a, card);
    g_left_polling = true;
}

// From now on reads and writes on the port fail with `error`, as after a surprise removal, while
// status queries still answer. The port must be taken as lost: nothing more is read or written.
void removal(Driver& d, DWORD error) {
    Instance a{0, {}};
    start_at_delay_50(d, a);
    const ModelCounters& counters = model_counters();
    switch_on_model_fault(kRemoval, error);
    for (const double give_up = now_ms() + kStepBoundMs; counters.failed.load() == 0 && now_ms() < give_up;) Sleep(5);
    Sleep(100);  // the call in flight
    const long io_before = counters.port_reads.load() + counters.port_writes.load();
    const double wakeups = wakeups_a_second();
    const long io = counters.port_reads.load() + counters.port_writes.load() - io_before;
    std::printf("error %lu: reads and writes on the port in the next second: %ld; wake-ups a second: %.0f\n", error, io,
                wakeups);
    check(counters.failed.load() > 0, "the driver tried the port after the removal");
    check(wakeups <= kReopenedPortWakeupsLimit,
          "a port that fails each time it reopens wakes the driver at most 20 times a second",
          static_cast<long>(wakeups), static_cast<long>(kReopenedPortWakeupsLimit));
    // Each reconnect reopens the port and tries one frame, which fails at once: at most two in
    // the second measured, where polling on would have tried twenty.
    check(io <= 2, ("after error " + std::to_string(error) + " the port is taken as lost: reads and writes").c_str(),
          io, 2);
    CHECK_EQ(call(d, a, kStop), 0, "stop");
    CHECK_EQ(call(d, a, kDelete), 0, "delete");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string scenario = argc > 1 ? argv[1] : "";
    if (scenario == "stay-idle" && argc == 3) {
        stay_idle(argv[2]);
        return 0;
    }
    using Scenario = void (*)(Driver&, const Card&);
    // The last rows each switch on one fault of the Windows model and check what the driver must
    // do despite it.
    const std::pair<const char*, Scenario> scenarios[] = {
        {"cycle", cycle},
        {"stop", stop},
        {"reset", reset},
        {"silent", silent},
        {"unplug", unplug},
        {"found", found},
        {"unload", unload_polling},
        {"exit-polling", exit_polling},
        {"late-answer", late_answer},
        {"silent-spin", silent_spin},
        {"status-stall", status_stall},
        {"slow-open",
         [](Driver& d, const Card& c) {
             switch_on_model_fault(kSlowOpen, 2);
             found(d, c);
         }},
        {"busy-port",
         [](Driver& d, const Card& c) {
             switch_on_model_fault(kBusyOpen, 3);
             found(d, c);
         }},
        {"xon-xoff",
         [](Driver& d, const Card& c) {
             switch_on_model_fault(kXonEqualsXoff);
             found(d, c);
         }},
        {"failing-reads", failing_reads},
        {"removal-aborted", [](Driver& d, const Card&) { removal(d, ERROR_OPERATION_ABORTED); }},
        {"removal-not-connected", [](Driver& d, const Card&) { removal(d, ERROR_DEVICE_NOT_CONNECTED); }},
        {"removal-access-denied", [](Driver& d, const Card&) { removal(d, ERROR_ACCESS_DENIED); }},
        {"removal-gen-failure", [](Driver& d, const Card&) { removal(d, ERROR_GEN_FAILURE); }}};
    Scenario run = nullptr;
    for (const auto& s : scenarios) {
        if (scenario == s.first) run = s.second;
    }
    if (run == nullptr || argc != 4) {
        std::printf(
            "usage: poll_test SCENARIO FOLDER CARD (the card's files: FOLDER\\CARD.log, .ctl, .out); "
            "VEK_WINDOWS_MODEL names the Windows model (see windows_model.h)\n");
        return 2;
    }
    const std::string folder = argv[2];
    const std::string base = folder + "\\" + argv[3];
    const Card card{base + ".log", base + ".ctl", base + ".out"};
    g_ini = folder + "\\poll.ini";

    Driver d;
    if (!d.load() || !install_model_from_environment(d.module)) return 1;
    use_set_input(d);
    // The host's tables start all off; each scenario sets what it sends.
    std::memset(d.host.output_states, 0, sizeof d.host.output_states);
    std::memset(d.host.words, 0, sizeof d.host.words);
    std::memset(d.host.reals, 0, sizeof d.host.reals);
    BoxWatcher watcher;
    run(d, card);
    CHECK_EQ(watcher.finish(), 0, "no-card message boxes (the card was not found)");
    if (!g_left_polling) FreeLibrary(d.module);
    std::printf("%s: ", scenario.c_str());
    return report();
}
