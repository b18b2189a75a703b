// The Win32 serial backend under Wine, against virtual cards whose pseudo-terminals the test
// script links into the prefix's dosdevices folder. One scenario per run; the script sets up the
// cards and checks their logs.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/platform_notices.h"
#include "link/card_discovery.h"
#include "link/card_link.h"
#include "link/serial_port.h"
#include "poll/driver_context.h"
#include "poll/process_image.h"
#include "poll/run_control.h"
#include "support/clock.h"
#include "support/trace.h"
#include "tests/shared/wine_host.h"

namespace {

using namespace vek;

// The line and the image under test, in a driver's context that tells the user as the DLL does.
DriverContext g_driver(make_platform_backend(), platform_notices());
CardLink& g_link = g_driver.first_card.link;
ProcessImage& g_image = g_driver.first_card.image;
SerialPort& port() { return g_link.port(); }

// One look for an answer, its inputs published as the poll loop publishes them.
FrameResult receive() {
    const ReceivedInputs got = g_link.receive_input_frame();
    if (got.result == FrameResult::ok) store_inputs(g_image, got.inputs);
    return got.result;
}

Probe probe(uint32_t n) { return probe_port(g_link, n, load_outputs(g_image)); }

// One poll-style exchange: send, then up to 200 ms of receive attempts.
FrameResult exchange() {
    const uint64_t started = monotonic_us();
    g_link.send_output_frame(load_outputs(g_image));
    for (;;) {
        const FrameResult result = receive();
        if (result == FrameResult::ok || monotonic_us() - started > 200000U) return result;
        sleep_us(1000);
    }
}

unsigned long hex_arg(const char* text) { return std::strtoul(text, nullptr, 16); }

// find_card picks the expected port, leaves it open with the card's inputs, and the port then
// carries an output frame and its answer.
void discover(uint32_t expected_port, uint8_t in0, uint8_t in1) {
    const long threads = thread_count();
    const Probe found = find_card(g_link, load_outputs(g_image));
    CHECK_EQ(found.result, ProbeResult::answered, "find_card");
    CHECK_EQ(port().open_port_number(), expected_port, "port found");
    CHECK_EQ(port().rts_state(), RtsState::asserted, "RTS asserted");
    CHECK_EQ(found.inputs.digital[0], in0, "inputs 1-8 from the probe's answer");
    CHECK_EQ(found.inputs.digital[1], in1, "inputs 9-16 from the probe's answer");
    check(found.inputs.analog[0] == 5.0F, "analog 1 reads 5.0 V");

    store_outputs(g_image, {{0x04, 0}, {0, 0}});  // output 3 on: the card must log 02 04 00 00 00 03 F8
    FrameResult result = FrameResult::not_ready;
    for (int i = 0; i < 20 && result != FrameResult::ok; ++i) result = exchange();
    CHECK_EQ(result, FrameResult::ok, "an exchange after discovery");
    port().close_port();
    CHECK_EQ(thread_count(), threads, "no thread left after close_port");
}

// With a display, a start whose scan finds no card shows its message box once and waits for the
// user, played by a watcher that reads the box and presses OK.
void no_card() {
    BoxWatcher user;
    DriverInstance instance{};
    const StartResult result = start(g_driver, instance);
    const double returned_ms = now_ms();
    Sleep(100);  // a second box would be up by now
    const std::vector<BoxWatcher::Box> boxes = user.take();
    CHECK_EQ(result, StartResult::no_card, "a start without a card");
    CHECK_EQ(port().open_port_number(), 0, "no port left open");
    CHECK_EQ(boxes.size(), 1, "message boxes shown");
    if (boxes.empty()) return;
    check(boxes[0].text == "Cannot find I/O card, please check connection", ("message text: " + boxes[0].text).c_str());
    check(boxes[0].closed_ms < returned_ms, "the scan waits until the user closes the box");
}

void corrupt(uint32_t n) {
    CHECK_EQ(probe(n).result, ProbeResult::no_answer, "probe of a card with corrupt answers");
    CHECK_EQ(port().open_port_number(), n, "a failed probe leaves its port open");
}

// The card goes away mid-exchange: every call must come back, and the port must say so.
void unplug(uint32_t n) {
    const long threads = thread_count();
    CHECK_EQ(probe(n).result, ProbeResult::answered, "probe before the unplug");
    const uint64_t started = monotonic_us();
    int cycles = 0;
    while (!port().port_lost() && cycles < 500) {
        exchange();
        ++cycles;
    }
    check(port().port_lost(), "the unplug is seen", cycles);
    const uint64_t lost_after_ms = (monotonic_us() - started) / 1000U;
    check(lost_after_ms < 20000U, "calls after the unplug return", static_cast<long>(lost_after_ms));
    CHECK_EQ(exchange(), FrameResult::not_ready, "an exchange on a lost port");
    port().close_port();
    CHECK_EQ(thread_count(), threads, "no thread left after close_port");
    std::printf("unplug seen after %d cycles\n", cycles);
}

// An open port with nothing to do must cost next to nothing: no thread of the driver's waits on it.
void idle_cpu(uint32_t n) {
    CHECK_EQ(port().open_port(n), PortResult::ok, "open");
    Sleep(200);
    const double cpu_before = process_cpu_ms();
    const double wall_before = now_ms();
    Sleep(1000);
    const double cpu_ms = process_cpu_ms() - cpu_before;
    const double wall_ms = now_ms() - wall_before;
    std::printf("idle port: %.1f ms CPU over %.1f ms (%.2f%% of a core)\n", cpu_ms, wall_ms, 100.0 * cpu_ms / wall_ms);
    // A thread that re-arms a WaitCommEvent at once would cost a third of a core or more here.
    check(cpu_ms * 10 < wall_ms, "an idle open port uses under 10% of a core", static_cast<long>(cpu_ms));
    port().close_port();
}

std::string file_text(const std::string& path) {
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(f);
    return text;
}

// A reader holds the trace as a follower or an editor does, for reading and writing but without
// delete sharing, across the point where the trace is full: the rename to .1 fails, and the file
// must keep every line and go on taking new ones, then rotate once the reader lets go. A second
// trace on the same file is still refused.
void trace_reader() {
    char folder[MAX_PATH];
    CHECK_EQ(GetTempPathA(MAX_PATH, folder) != 0, true, "temporary folder");
    const std::string path = std::string(folder) + "vek-link-test-" + std::to_string(GetCurrentProcessId()) + ".trace";
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".1").c_str());
    Trace trace(platform_notices());
    CHECK_EQ(trace.open(path.c_str(), false, 1000), true, "trace opened");
    trace.line("line 00");
    CHECK_EQ(trace.flush(), true, "first line written");
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    check(reader != INVALID_HANDLE_VALUE, "a reader without delete sharing opens the trace",
          static_cast<long>(GetLastError()));
    Trace second(platform_notices());
    CHECK_EQ(second.open(path.c_str(), false), false, "a second trace on the file is refused");
    for (int i = 1; i < 50; ++i) trace.line("line %02d", i);
    CHECK_EQ(trace.flush(), true, "lines written while the reader holds the file");
    const std::string held = file_text(path);
    check(held.find("line 00") != std::string::npos, "the full file keeps its first line");
    check(held.find("line 49") != std::string::npos, "the full file takes new lines");
    check(held.size() > 1000, "written on past the cap", static_cast<long>(held.size()));
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    for (int i = 50; i < 60; ++i) trace.line("line %02d", i);
    trace.close();
    const std::string old = file_text(path + ".1");
    const std::string current = file_text(path);
    check(old.find("line 00") != std::string::npos, "renamed to .1 once the reader let go");
    check(current.find("line 59") != std::string::npos, "a new file goes on");
    std::size_t lines = 0;
    for (const std::string* text : {&old, &current}) lines += static_cast<std::size_t>(std::count(text->begin(), text->end(), '\n'));
    CHECK_EQ(lines, std::size_t{60}, "no line lost");
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".1").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string scenario = argc > 1 ? argv[1] : "";
    const auto port = static_cast<uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0);
    if (scenario == "discover" && argc == 5) {
        discover(port, static_cast<uint8_t>(hex_arg(argv[3])), static_cast<uint8_t>(hex_arg(argv[4])));
    } else if (scenario == "no-card") {
        no_card();
    } else if (scenario == "corrupt" && argc == 3) {
        corrupt(port);
    } else if (scenario == "unplug" && argc == 3) {
        unplug(port);
    } else if (scenario == "idle-cpu" && argc == 3) {
        idle_cpu(port);
    } else if (scenario == "trace-reader") {
        trace_reader();
    } else if (scenario == "stay-idle" && argc == 3) {
        stay_idle(argv[2]);
        return 0;
    } else {
        std::printf("usage: link_test discover PORT IN0 IN1 | no-card | corrupt PORT | unplug PORT | idle-cpu PORT | trace-reader\n");
        return 2;
    }
    std::printf("%s: ", scenario.c_str());
    return report();
}
