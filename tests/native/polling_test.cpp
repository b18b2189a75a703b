// The driver's run-time job end to end: DriverEntry starts, feeds and stops a poll thread that
// talks to a virtual card on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "link/card_frames.h"
#include "link/serial_port.h"
#include "poll/process_image.h"
#include "poll/run_control.h"
#include "tests/native/link_fixture.h"
#include "tools/virtual_card/virtual_card.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::array<uint8_t, 7>;

const Bytes kAllOff{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};

std::vector<std::pair<int32_t, int32_t>> g_calls;  // (index, value) of each set_input call

void VEK_CDECL record_input(int32_t index, int32_t value) { g_calls.emplace_back(index, value); }

bool eventually(const std::function<bool()>& done, int timeout_ms = 3000) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double ms_since(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// The share of one core this process used while `run` ran.
double core_share_during(const std::function<void()>& run) {
    const auto cpu_ms = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    };
    const double cpu_before = cpu_ms();
    const auto wall_before = Clock::now();
    run();
    return (cpu_ms() - cpu_before) / ms_since(wall_before);
}

class PollingTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        host.config_path = dir.file("host.ini");
        host.record.set_input = record_input;
        g_calls.clear();
    }
    void TearDown() override {
        // A test that failed half way must not leave a thread polling into the next one.
        for (DriverInstance& instance : host.driver().instances.records) {
            if (instance.poll_thread != nullptr) stop(host.driver(), instance);
        }
        LinkTest::TearDown();
    }

    VirtualCard& card_on(uint32_t n) {
        card = std::make_unique<VirtualCard>(VirtualCard::Options{port_link(n), false});
        std::string error;
        EXPECT_TRUE(card->start(&error)) << error;
        return *card;
    }
    HostDriverRecord create(uint32_t number, uint32_t delay_ms) {
        HostDriverRecord rec{};
        EXPECT_EQ(host.call(number, DRV_CREATE, rec), 0);
        instance(rec).delay_ms.store(delay_ms);
        return rec;
    }
    DriverInstance& instance(const HostDriverRecord& rec) { return host.driver().instances.records[rec.slot]; }

    bool card_receives(const Bytes& bytes, int timeout_ms = 3000) {
        return eventually(
            [&] {
                ReceivedFrame last{};
                return card->last_frame(&last) && last.bytes == bytes;
            },
            timeout_ms);
    }
    Bytes last_bytes() {
        ReceivedFrame last{};
        return card->last_frame(&last) ? last.bytes : Bytes{};
    }
    // Reads inputs until the host's view of input 1..16 matches, within a few cycles.
    bool host_reads(uint32_t number, HostDriverRecord& rec, const std::vector<int32_t>& values) {
        return eventually([&] {
            g_calls.clear();
            if (host.call(number, DRV_READ_INPUTS, rec) != 0 || g_calls.size() != values.size()) return false;
            for (std::size_t i = 0; i < values.size(); ++i) {
                if (g_calls[i].second != values[i]) return false;
            }
            return true;
        });
    }

    TempDir dir;
    TestHost host;
    std::unique_ptr<VirtualCard> card;
};

std::vector<int32_t> inputs_on(std::initializer_list<int> on) {
    std::vector<int32_t> values(16, 0);
    for (int k : on) values[static_cast<std::size_t>(k - 1)] = 1;
    return values;
}

Bytes frame(uint8_t out0, uint8_t out1, uint8_t analog0, uint8_t analog1) {
    return build_output_frame(out0, out1, analog0, analog1);
}

TEST_F(PollingTest, OutputsReachTheCardAndTheCardsInputsReachTheHost) {
    card_on(3).set_digital_inputs(0xFE, 0x7F);
    card->set_analog_raw(1, 1023);
    card->set_analog_raw(2, 0);
    HostDriverRecord rec = create(0, 10);
    host.words[42] = 0xBEEF;
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    EXPECT_EQ(instance(rec).running, 1);
    EXPECT_EQ(host.driver().link.port().open_port_number(), 3u);

    host.output_states[2] = 0x40;
    ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_TRUE(card_receives({0x02, 0x04, 0x00, 0x00, 0x00, 0x03, 0xF8}));
    EXPECT_TRUE(host_reads(0, rec, inputs_on({1, 16})));
    EXPECT_EQ(host.reals[200], 5.0F);
    EXPECT_EQ(host.reals[201], 0.0F);

    // A change at the card shows at a later read; an output byte without 0x40 is off; only the
    // low byte of a word is sent.
    card->set_input(5, true);
    EXPECT_TRUE(host_reads(0, rec, inputs_on({1, 5, 16})));
    host.output_states[2] = 0xBF;
    host.words[200] = 0x0123;
    host.words[201] = 0x00FF;
    ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_TRUE(card_receives(frame(0x00, 0x00, 0x23, 0xFF)));

    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_EQ(host.words[42], 0) << "the poll thread clears word 42 as it starts";
    EXPECT_EQ(card->invalid_frame_count(), 0u);
}

TEST_F(PollingTest, DriverNumberOneExchangesThroughItsOwnTableEntries) {
    card_on(1).set_digital_inputs(0xFF, 0xFE);
    HostDriverRecord first = create(0, 10);
    HostDriverRecord rec = create(1, 10);
    host.record.input_base = 100;
    ASSERT_EQ(host.call(1, DRV_START, rec), 0);
    host.output_states[16] = 0x40;
    host.output_states[0] = 0x40;  // driver 0's output
    host.words[202] = 0x0042;
    ASSERT_EQ(host.call(1, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_TRUE(card_receives(frame(0x01, 0x00, 0x42, 0x00)));
    EXPECT_TRUE(host_reads(1, rec, inputs_on({9})));
    EXPECT_EQ(g_calls.front().first, 116);
    EXPECT_EQ(g_calls.back().first, 131);
    EXPECT_EQ(instance(first).running, 0) << "only the started instance runs";
    ASSERT_EQ(host.call(1, DRV_STOP, rec), 0);
}

TEST_F(PollingTest, StopLeavesTheCardAllOffClosesThePortAndFreezesTheImage) {
    card_on(2).set_digital_inputs(0xFE, 0xFF);
    HostDriverRecord rec = create(0, 5);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    host.output_states[0] = 0x40;
    ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    ASSERT_TRUE(host_reads(0, rec, inputs_on({1})));
    // An hour between cycles from the next cycle on: soon the thread is waiting it out.
    instance(rec).delay_ms.store(3600000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto asked = Clock::now();
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_LT(ms_since(asked), 3000.0) << "the hour's delay must not hold the stop";
    EXPECT_TRUE(card_receives(kAllOff, 1000));
    EXPECT_EQ(host.driver().link.port().open_port_number(), 0u);
    EXPECT_EQ(instance(rec).poll_thread, nullptr);
    EXPECT_EQ(instance(rec).running, 1) << "stop leaves running as it was";

    // The image is frozen, not cleared: reads still report the last inputs.
    card->set_digital_inputs(0xFF, 0xFF);
    g_calls.clear();
    ASSERT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    ASSERT_EQ(g_calls.size(), 16u);
    EXPECT_EQ(g_calls[0].second, 1);
    const std::size_t frames = card->frame_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(card->frame_count(), frames) << "nothing is sent after the all-off frame";
}

TEST_F(PollingTest, StopWithoutAPollThreadClosesThePortAndReturnsAtOnce) {
    card_on(1);
    HostDriverRecord rec = create(0, 50);
    ASSERT_EQ(host.driver().link.port().open_port(1), PortResult::ok);
    const auto asked = Clock::now();
    EXPECT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_LT(ms_since(asked), 1000.0);
    EXPECT_EQ(host.driver().link.port().open_port_number(), 0u);
    EXPECT_EQ(card->frame_count(), 0u);
}

TEST_F(PollingTest, AFailedStartLeavesTheInstanceIdleAndItsExchangeInert) {
    HostDriverRecord rec = create(0, 50);
    testing::internal::CaptureStderr();
    EXPECT_EQ(host.call(0, DRV_START, rec), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(instance(rec).running, 0);
    EXPECT_EQ(instance(rec).poll_thread, nullptr);
    host.output_states[0] = 0x40;
    EXPECT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(load(host.driver().image.digital_out[0]), 0);
}

// A port named in the host's file is the only one tried: a device answering on a lower port is
// never sent a frame, and with no card on the named port the start fails as a scan would.
TEST_F(PollingTest, ANamedPortIsTheOnlyPortProbed) {
    const struct {
        const char* what;
        const char* port;
        int32_t result;
        uint32_t open;
    } rows[] = {
        {"the card's port", "5", 0, 5},
        {"a port without a card", "3", -1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        VirtualCard lower(VirtualCard::Options{port_link(1), false});
        std::string error;
        ASSERT_TRUE(lower.start(&error)) << error;
        card_on(5);
        write_file(host.config_path, std::string("[korvanex-vek-driver-0]\r\nport=") + row.port + "\r\n");
        const std::string before = read_file(host.config_path);
        HostDriverRecord rec = create(0, 10);
        testing::internal::CaptureStderr();
        EXPECT_EQ(host.call(0, DRV_START, rec), row.result);
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(host.driver().link.port().open_port_number(), row.open);
        EXPECT_EQ(lower.frame_count(), 0u);
        if (row.result == 0) {
            EXPECT_EQ(told, "");
            EXPECT_TRUE(card_receives(kAllOff));
        } else {
            EXPECT_EQ(told, "VEK KORVANEX driver: Cannot find I/O card, please check connection\n");
            EXPECT_EQ(card->frame_count(), 0u);
        }
        EXPECT_EQ(host.call(0, DRV_STOP, rec), 0);
        EXPECT_EQ(host.call(0, DRV_DELETE, rec), 0);
        EXPECT_EQ(read_file(host.config_path), before) << "the driver only reads the key";
    }
}

// The trace named in the host's file: the note on a bad value first, then the start, each port
// discovery tried, a corrupt answer with its bytes, and the stop, after which it is closed.
TEST_F(PollingTest, TheTraceTellsTheStartThePortsTriedABadChecksumAndTheStop) {
    card_on(2);
    const std::string trace = dir.file("line.trace");
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\nport=300\r\ntrace=" + trace + "\r\n");
    HostDriverRecord rec = create(0, 10);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(host.driver().trace.on());
    CardFault bad_sum;
    bad_sum.bad_sum = true;
    card->set_fault(bad_sum);
    EXPECT_TRUE(eventually(
        [&] { return host.driver().trace.flush() && read_file(trace).find("bad checksum 12 ") != std::string::npos; }));
    card->set_fault(CardFault{});
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_FALSE(host.driver().trace.on()) << "closed once no instance polls";

    std::vector<std::string> lines;
    const std::string text = read_file(trace);
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        // Each line begins with "YYYY-MM-DD HH:MM:SS.mmm ".
        lines.push_back(text.substr(at, end - at).substr(std::min<std::size_t>(24, end - at)));
    }
    const auto has = [&](const std::string& piece) {
        for (const std::string& line : lines) {
            if (line.find(piece) != std::string::npos) return true;
        }
        return false;
    };
    ASSERT_GE(lines.size(), 5u) << text;
    EXPECT_EQ(lines[0].rfind("settings: ", 0), 0u) << text;
    EXPECT_NE(lines[0].find("\"300\""), std::string::npos) << text;
    EXPECT_EQ(lines[1], "start: driver 0, delay 10 ms, scanning COM1 to COM127") << text;
    EXPECT_EQ(lines[2].rfind("COM1 absent", 0), 0u) << text;
    EXPECT_EQ(lines[3].rfind("COM2 found after ", 0), 0u) << text;
    EXPECT_TRUE(has("bad checksum 12 ")) << text;
    EXPECT_EQ(lines.back(), "stop: driver 0, delay 10 ms") << text;
    EXPECT_FALSE(has("tx 02 ")) << "frames are traced only with trace_frames=1";
}

TEST_F(PollingTest, AHundredStartStopRoundsEachEndAllOffAndLeaveNothingBehind) {
    card_on(1);
    HostDriverRecord rec = create(0, 0);
    host.output_states[7] = 0x40;
    // One round first, so that whatever the runtime keeps for good is already there.
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    const std::size_t threads = thread_count();
    const std::size_t descriptors = descriptor_count();
    for (int round = 0; round < 100; ++round) {
        ASSERT_EQ(host.call(0, DRV_START, rec), 0) << "round " << round;
        ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
        // Stopped at once, perhaps before the thread has run at all: the stop is not lost.
        ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
        ASSERT_TRUE(card_receives(kAllOff, 1000)) << "round " << round;
    }
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(descriptor_count(), descriptors);
}

TEST_F(PollingTest, StartingAPollingInstanceAgainReplacesItsThread) {
    card_on(1);
    HostDriverRecord rec = create(0, 5);
    const std::size_t threads = thread_count();
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(card->wait_for_frames(2, 3000));
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    EXPECT_EQ(thread_count(), threads + 1);
    ASSERT_TRUE(card->wait_for_frames(card->frame_count() + 2, 3000)) << "the new thread polls";
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_EQ(thread_count(), threads);
    const std::size_t frames = card->frame_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(card->frame_count(), frames) << "no thread polls on after the stop";
}

TEST_F(PollingTest, DeletingAPollingInstanceStopsItsThreadFirst) {
    card_on(1);
    HostDriverRecord rec = create(0, 5);
    const std::size_t threads = thread_count();
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    host.output_states[0] = 0x40;
    ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    ASSERT_TRUE(card_receives(frame(0x01, 0x00, 0x00, 0x00)));
    ASSERT_EQ(host.call(0, DRV_DELETE, rec), 0);
    EXPECT_TRUE(card_receives(kAllOff, 1000));
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(host.driver().link.port().open_port_number(), 0u);
}

TEST_F(PollingTest, ResetSendsAllOffAndWaitsForTwoAnsweredCycles) {
    card_on(1);
    HostDriverRecord rec = create(0, 20);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    host.output_states[0] = 0x40;
    host.words[200] = 9;
    ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    ASSERT_TRUE(card_receives(frame(0x01, 0x00, 9, 0)));

    ASSERT_EQ(host.call(0, DRV_RESET_OUTPUTS, rec), 0);
    EXPECT_GE(instance(rec).cycle_count.load(), 2u) << "reset returned before two answered cycles";
    EXPECT_EQ(last_bytes(), kAllOff);
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

TEST_F(PollingTest, ResetFramesNeverInterleaveWithThePollThreadsFrames) {
    card_on(1);
    HostDriverRecord rec = create(0, 0);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    for (int i = 0; i < 30; ++i) {
        host.output_states[0] = static_cast<uint8_t>(i % 2 == 0 ? 0x40 : 0);
        ASSERT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
        ASSERT_EQ(host.call(0, DRV_RESET_OUTPUTS, rec), 0);
    }
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_GT(card->frame_count(), 90u);
    EXPECT_EQ(card->invalid_frame_count(), 0u);
    EXPECT_EQ(card->garbage_byte_count(), 0u);
}

TEST_F(PollingTest, AnswersToResetFramesDoNotLeaveTheInputsBehind) {
    card_on(1).set_digital_inputs(0xFF, 0xFF);
    HostDriverRecord rec = create(0, 20);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    // Each reset's frame draws an answer of its own, on top of the poll thread's.
    for (int i = 0; i < 6; ++i) ASSERT_EQ(host.call(0, DRV_RESET_OUTPUTS, rec), 0);

    card->set_input(4, true);
    const std::size_t answered = card->answer_count();
    ASSERT_TRUE(host_reads(0, rec, inputs_on({4})));
    // The first or second answer after the change is the one the host sees, not the seventh.
    EXPECT_LE(card->answer_count() - answered, 3u);
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

TEST_F(PollingTest, ResetGivesUpAfterItsBoundWhenTheCardIsSilent) {
    card_on(1);
    HostDriverRecord rec = create(0, 50);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    CardFault silent;
    silent.silent = true;
    card->set_fault(silent);
    const auto asked = Clock::now();
    ASSERT_EQ(host.call(0, DRV_RESET_OUTPUTS, rec), 0);
    const double took = ms_since(asked);
    EXPECT_GE(took, 2000.0);
    EXPECT_LT(took, 10000.0);
    EXPECT_TRUE(card_receives(kAllOff, 1000));
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

TEST_F(PollingTest, ResetWithAnHoursDelayStillReturnsWithinItsBounds) {
    card_on(1);
    HostDriverRecord rec = create(0, 3600000);
    const auto asked = Clock::now();
    ASSERT_EQ(host.call(0, DRV_RESET_OUTPUTS, rec), 0);  // no poll thread, no open port
    EXPECT_LT(ms_since(asked), 10000.0) << "the delay's wait is capped like the wait for cycles";
    EXPECT_EQ(card->frame_count(), 0u);
}

TEST_F(PollingTest, ASilentCardSlowsCyclesTo200msAndTheInputsKeepTheirLastValues) {
    card_on(1).set_digital_inputs(0xFD, 0xFF);
    HostDriverRecord rec = create(0, 0);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(host_reads(0, rec, inputs_on({2})));

    CardFault silent;
    silent.silent = true;
    card->set_fault(silent);
    card->set_digital_inputs(0xFF, 0xFF);  // never sent: the card is silent
    card->clear_frames();
    ASSERT_TRUE(card->wait_for_frames(4, 3000));
    const uint32_t counted = instance(rec).cycle_count.load();
    const std::vector<ReceivedFrame> frames = card->frames();
    for (std::size_t i = 1; i < frames.size(); ++i) {
        // Measured from before each send, so never shorter; a small margin for the card's clock.
        EXPECT_GE(frames[i].at_ms - frames[i - 1].at_ms, 195.0) << "cycle " << i;
    }
    g_calls.clear();
    ASSERT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    EXPECT_EQ(g_calls[1].second, 1) << "the last inputs the card sent";
    EXPECT_EQ(instance(rec).cycle_count.load(), counted) << "an unanswered cycle is not counted";

    card->set_fault({});
    EXPECT_TRUE(host_reads(0, rec, inputs_on({}))) << "answers are taken again once the card speaks";
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

// Between attempts the poll thread waits on the port, and on the stop signal where there is no
// port to wait on: a wait that returned at once would spin for the whole 200 ms answer window.
// The bounds are loose: a spin takes a whole core, the waits a few percent of one.
TEST_F(PollingTest, WaitingForAnAnswerNeitherSpinsNorHoldsUpStop) {
    card_on(1);
    HostDriverRecord rec = create(0, 0);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(card->wait_for_frames(3, 3000));
    CardFault silent;
    silent.silent = true;
    card->set_fault(silent);
    EXPECT_LT(core_share_during([] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); }), 0.5)
        << "a silent card";
    const auto asked = Clock::now();
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_LT(ms_since(asked), 1000.0) << "stop while the thread waits out an answer";

    card->set_fault({});
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(card->wait_for_frames(card->frame_count() + 3, 3000));
    card->unplug();
    EXPECT_LT(core_share_during([] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); }), 0.5)
        << "an unplugged card";
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

// The cable is pulled while polling: the host reads the last inputs meanwhile, the outputs it
// writes then reach the card in the first frame after the replug, fresh inputs follow with no host
// command, and a stop in the middle of a reconnect returns at once and leaves nothing running.
TEST_F(PollingTest, AnUnpluggedCardIsReopenedByItselfAndStopEndsAReconnect) {
    card_on(1).set_digital_inputs(0xFE, 0x7F);
    const std::string trace = dir.file("line.trace");
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\ntrace=" + trace + "\r\n");
    HostDriverRecord rec = create(0, 1);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(host_reads(0, rec, inputs_on({1, 16})));
    card->unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::size_t threads = thread_count() - 2;  // all but the poll thread and the trace's writer
    card->set_input(5, true);
    host.output_states[0] = 0x40;
    EXPECT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_TRUE(host_reads(0, rec, inputs_on({1, 16}))) << "the last inputs stand while the port is lost";

    const std::size_t before_replug = card->frames().size();
    std::string error;
    ASSERT_TRUE(card->replug(&error)) << error;
    EXPECT_TRUE(eventually([&] { return host_reads(0, rec, inputs_on({1, 5, 16})); }, 5000));
    const std::vector<ReceivedFrame> frames = card->frames();
    ASSERT_GT(frames.size(), before_replug);
    EXPECT_EQ(frames[before_replug].bytes, frame(0x01, 0x00, 0x00, 0x00)) << "the first frame after the replug";
    EXPECT_EQ(host.driver().link.port().open_port_number(), 1u);

    card->unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto asked = Clock::now();
    EXPECT_EQ(host.call(0, DRV_STOP, rec), 0);
    EXPECT_LT(ms_since(asked), 1000.0);
    EXPECT_EQ(host.driver().link.port().open_port_number(), 0u);
    EXPECT_EQ(thread_count(), threads);
    const std::string told = read_file(trace);
    EXPECT_NE(told.find(" COM1 lost: "), std::string::npos) << told;
    EXPECT_NE(told.find(" COM1 reopened after "), std::string::npos) << told;
}

TEST_F(PollingTest, ANewDelayAppliesFromTheNextCycle) {
    card_on(1);
    HostDriverRecord rec = create(0, 400);
    ASSERT_EQ(host.call(0, DRV_START, rec), 0);
    ASSERT_TRUE(card->wait_for_frames(1, 3000));
    instance(rec).delay_ms.store(0);  // as the dialog stores it
    // At 400 ms a cycle, 20 more frames would take 8 s.
    EXPECT_TRUE(card->wait_for_frames(21, 3000));
    ASSERT_EQ(host.call(0, DRV_STOP, rec), 0);
}

}  // namespace
