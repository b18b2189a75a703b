// The host's tables and the card's image, set by hand, for what a card cannot show: every input's
// bit, host tables that are missing, and reads while answers arrive. Driver 1's entries, bit 0x40
// and an instance that does not run are stories (tests/stories/polling.stories).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "poll/process_image.h"
#include "tests/native/test_support.h"

namespace {

std::vector<std::pair<int32_t, int32_t>> g_calls;  // (index, value) of each set_input call

void VEK_CDECL record_input(int32_t index, int32_t value) { g_calls.emplace_back(index, value); }

class ImageExchangeTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_calls.clear();
        host.record.set_input = record_input;
        reset_process_image(host.driver().first_card.image);
    }
    // A created instance as a successful start leaves it, without a card or a poll thread.
    HostDriverRecord running_instance(uint32_t number) {
        HostDriverRecord rec{};
        EXPECT_EQ(host.call(number, DRV_CREATE, rec), 0);
        record(rec.slot).running = 1;
        return rec;
    }
    void card_sends(uint8_t in0, uint8_t in1, float volts0, float volts1) {
        ProcessImage& image = host.driver().first_card.image;
        store(image.digital_in[0], in0);
        store(image.digital_in[1], in1);
        store(image.analog_in[0], volts0);
        store(image.analog_in[1], volts1);
    }
};

TEST_F(ImageExchangeTest, InputsReachTheHostAsSixteenCallsInOrderAndTwoReals) {
    HostDriverRecord rec = running_instance(0);
    card_sends(0xFE, 0xFF, 1.25F, 4.5F);
    ASSERT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    ASSERT_EQ(g_calls.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(g_calls[i], std::make_pair(static_cast<int32_t>(i), i == 0 ? 1 : 0)) << "call " << i;
    }
    EXPECT_EQ(host.reals[200], 1.25F);
    EXPECT_EQ(host.reals[201], 4.5F);

    // Active low, bit k of the second byte is input 9 + k; unchanged inputs are called again too.
    g_calls.clear();
    card_sends(0x5A, 0x0F, 0.0F, 5.0F);
    ASSERT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    const int32_t want[16] = {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1};
    ASSERT_EQ(g_calls.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(g_calls[i].second, want[i]) << "input " << i + 1;
}

TEST_F(ImageExchangeTest, MissingHostTablesAreSkippedRatherThanFollowed) {
    HostDriverRecord rec = running_instance(0);
    card_sends(0xFE, 0xFF, 1.0F, 1.0F);
    host.record.set_input = nullptr;
    host.record.reals = nullptr;
    host.record.output_states = nullptr;
    host.record.words = nullptr;
    EXPECT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
    EXPECT_EQ(host.call(0, DRV_WRITE_OUTPUTS, rec), 0);
    EXPECT_TRUE(g_calls.empty());
}

// The poll thread publishes answers while the host reads: every read must hand the host the four
// inputs of one answer, never inputs 1-8 of one and 9-16 or the volts of the next.
TEST_F(ImageExchangeTest, AReadHandsTheHostOneAnswerWholeWhileAnswersArrive) {
    HostDriverRecord rec = running_instance(0);
    const CardInputs answers[2] = {{{0x00, 0x00}, {5.0F, 0.0F}}, {{0xFF, 0xFF}, {0.0F, 5.0F}}};
    store_inputs(host.driver().first_card.image, answers[0]);
    std::atomic<bool> done{false};
    std::thread poll_side([&] {
        for (unsigned i = 0; !done.load(); ++i) store_inputs(host.driver().first_card.image, answers[i % 2]);
    });
    int torn = 0;
    for (int read = 0; read < 20000 && torn == 0; ++read) {
        g_calls.clear();
        ASSERT_EQ(host.call(0, DRV_READ_INPUTS, rec), 0);
        int on = 0;
        for (const auto& call : g_calls) on += call.second;
        const bool all_on = on == 16 && host.reals[200] == 5.0F && host.reals[201] == 0.0F;
        const bool all_off = on == 0 && host.reals[200] == 0.0F && host.reals[201] == 5.0F;
        if (!all_on && !all_off) ++torn;
    }
    done = true;
    poll_side.join();
    EXPECT_EQ(torn, 0) << "a read mixed two answers";
}

}  // namespace
