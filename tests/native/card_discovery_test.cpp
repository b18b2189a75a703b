// Finding the card among COM1 to COM127, with virtual cards on real pseudo-terminals.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "link/card_discovery.h"
#include "link/card_link.h"
#include "link/serial_port.h"
#include "tests/native/link_fixture.h"
#include "tools/virtual_card/virtual_card.h"

namespace {

const CardOutputs kAllOff{{0, 0}, {0, 0}};

class DiscoveryTest : public LinkTest {
protected:
    VirtualCard& card_on(uint32_t n, const CardFault& fault = {}) {
        cards.push_back(std::make_unique<VirtualCard>(VirtualCard::Options{port_link(n), false}));
        std::string error;
        EXPECT_TRUE(cards.back()->start(&error)) << error;
        cards.back()->set_fault(fault);
        return *cards.back();
    }
    void absent(uint32_t n) {
        ::mkdir(ports.file("absent").c_str(), 0700);
        map_port(n, ports.file("absent"));
    }
    static CardFault silent() {
        CardFault fault;
        fault.silent = true;
        return fault;
    }

    Probe scan() { return find_card(link, kAllOff); }
    Probe probe(uint32_t n) { return probe_port(link, n, kAllOff); }

    std::vector<std::unique_ptr<VirtualCard>> cards;
};

TEST_F(DiscoveryTest, TheFirstPortThatAnswersIsKeptOpenWithTheCardsInputs) {
    absent(1);
    VirtualCard& quiet = card_on(2, silent());
    VirtualCard& card = card_on(3);
    card.set_digital_inputs(0xFE, 0x7F);
    card.set_analog_raw(1, 1023);
    VirtualCard& beyond = card_on(4);

    testing::internal::CaptureStderr();
    const Probe found = scan();
    EXPECT_EQ(found.result, ProbeResult::answered);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(port().open_port_number(), 3U);
    EXPECT_EQ(port().rts_state(), RtsState::asserted);

    // The silent port had its hundred attempts and no more; the port after the card none.
    EXPECT_GE(quiet.frame_count(), 1U);
    EXPECT_LE(quiet.frame_count(), kProbeAttempts);
    EXPECT_EQ(beyond.frame_count(), 0U);
    ASSERT_GE(card.frame_count(), 1U);
    EXPECT_EQ(card.frames().front().bytes, (std::array<uint8_t, 7>{0x02, 0, 0, 0, 0, 0x03, 0xFC}));

    EXPECT_EQ(found.inputs.digital[0], 0xFE);
    EXPECT_EQ(found.inputs.digital[1], 0x7F);
    EXPECT_EQ(found.inputs.analog[0], 5.0F);

    // The port stays usable for polling. Answers to the probe's extra frames are still queued
    // (nothing flushes them), so the new inputs come after those.
    card.set_digital_inputs(0xFF, 0xFF);
    link.send_output_frame(kAllOff);
    uint8_t latest = found.inputs.digital[0];
    for (int i = 0; i < 5000 && latest != 0xFF; ++i) {
        const ReceivedInputs answer = link.receive_input_frame();
        if (answer.result == FrameResult::ok) {
            latest = answer.inputs.digital[0];
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(latest, 0xFF);
}

// A scan that finds no card tells the user once. Each open closes the port before it, so only
// COM127 can be left open, when it opened at all.
TEST_F(DiscoveryTest, AScanWithoutACardTellsTheUserOnceAndLeavesOnlyTheLastOpenedPort) {
    const struct {
        const char* what;
        std::function<void()> set_up;
        uint32_t left_open;
    } rows[] = {
        {"no card anywhere", [this] { absent(1); card_on(5, silent()); }, 0},
        {"a silent COM127", [this] { card_on(127, silent()); }, 127},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.set_up();
        testing::internal::CaptureStderr();
        EXPECT_EQ(scan().result, ProbeResult::no_answer);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "telling the user is the start's part";
        EXPECT_EQ(port().open_port_number(), row.left_open);
        for (const auto& card : cards) EXPECT_LE(card->frame_count(), kProbeAttempts);
        port().close_port();
        cards.clear();
    }
}

TEST_F(DiscoveryTest, CorruptAnswersFailTheProbeWithoutInputs) {
    for (bool bad_end : {false, true}) {
        CardFault fault;
        fault.bad_sum = !bad_end;
        fault.bad_end = bad_end;
        VirtualCard& card = card_on(6, fault);
        card.set_digital_inputs(0x00, 0x00);
        EXPECT_EQ(probe(6).result, ProbeResult::no_answer);
        EXPECT_LE(card.frame_count(), kProbeAttempts);
        EXPECT_GE(card.answer_count(), 1U);
        cards.clear();
    }
}

TEST_F(DiscoveryTest, GarbledSplitAndLateAnswersAreStillFound) {
    CardFault fault;
    fault.garbage = 5;
    fault.split_ms = 1;
    fault.delay_ms = 5;
    card_on(2, fault).set_digital_inputs(0xF0, 0x0F);
    const Probe found = probe(2);
    EXPECT_EQ(found.result, ProbeResult::answered);
    EXPECT_EQ(found.inputs.digital[0], 0xF0);
    EXPECT_EQ(found.inputs.digital[1], 0x0F);
}

TEST_F(DiscoveryTest, UnpluggingTheCardDuringAProbeEndsItPromptly) {
    VirtualCard& card = card_on(2, silent());
    auto probing = std::async(std::launch::async, [this] { return probe(2).result; });
    ASSERT_TRUE(card.wait_for_frames(3, 10000));
    card.unplug();
    // A generous bound: the point is that the probe ends, not how fast.
    ASSERT_EQ(probing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(probing.get(), ProbeResult::no_answer);
    // Unless all hundred frames went out before the unplug, the probe saw the line go.
    if (card.frame_count() < kProbeAttempts) {
        EXPECT_TRUE(port().port_lost());
    }
}

}  // namespace
