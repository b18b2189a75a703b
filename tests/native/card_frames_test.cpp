// The card's frames: building, checking and scaling, and the hunt for an input frame in what the
// line has queued, over a real pseudo-terminal.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "link/card_link.h"
#include "link/serial_port.h"
#include "poll/process_image.h"
#include "tests/native/link_fixture.h"

namespace {

const std::vector<uint8_t> kInput1On5V = {0x12, 0xFE, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x13, 0xDD};

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CardFrames, OutputFramesCarryAChecksumThatMakesTheirSumOne) {
    EXPECT_EQ(build_output_frame(0, 0, 0, 0), (OutputFrame{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
    EXPECT_EQ(build_output_frame(0xFF, 0x00, 0x80, 0x10), (OutputFrame{0x02, 0xFF, 0x00, 0x80, 0x10, 0x03, 0x6D}));
    EXPECT_EQ(build_output_frame(0x04, 0, 0, 0), (OutputFrame{0x02, 0x04, 0x00, 0x00, 0x00, 0x03, 0xF8}));
    for (unsigned v = 0; v < 256; v += 5) {
        const auto b = static_cast<uint8_t>(v);
        const OutputFrame f = build_output_frame(b, static_cast<uint8_t>(~b), b, static_cast<uint8_t>(b * 7));
        unsigned sum = 0;
        for (uint8_t byte : f) sum += byte;
        EXPECT_EQ(sum % 256, 1U) << v;
    }
}

TEST(CardFrames, InputFramesAreCheckedWithoutTheirEndByteInTheSum) {
    InputFrame frame{};
    std::copy(kInput1On5V.begin(), kInput1On5V.end(), frame.begin());
    EXPECT_EQ(check_input_frame(frame), FrameResult::ok);

    InputFrame bad_sum = frame;
    bad_sum[8] = 0xDE;
    EXPECT_EQ(check_input_frame(bad_sum), FrameResult::bad_sum);

    InputFrame bad_end = frame;
    bad_end[7] = 0x03;
    EXPECT_EQ(check_input_frame(bad_end), FrameResult::bad_end);
    bad_end[8] = 0x00;  // the end byte is judged first
    EXPECT_EQ(check_input_frame(bad_end), FrameResult::bad_end);
}

TEST(CardFrames, RawAnalogValuesScaleToVoltsUnclipped) {
    EXPECT_EQ(volts_from_raw(0), 0.0F);
    EXPECT_EQ(volts_from_raw(1023), 5.0F);
    // Worked out by hand (raw × 5 / 1023, rounded once to a float), not by the formula under test.
    EXPECT_EQ(volts_from_raw(511), 2.49755621F);
    EXPECT_GT(volts_from_raw(2046), 9.99F);
    EXPECT_EQ(volts_from_raw(65535), 320.307922F);
}

class FrameLineTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        map_port(4, card.device());
        ASSERT_EQ(port().open_port(4), PortResult::ok);
    }
    // One look for an answer, its inputs published to the image as the poll loop publishes them.
    FrameResult receive() {
        const ReceivedInputs got = link.receive_input_frame();
        if (got.result == FrameResult::ok) store_inputs(image, got.inputs);
        return got.result;
    }
    void send() { link.send_output_frame(load_outputs(image)); }
    // Marks the image so that any write to its inputs shows.
    void mark_inputs() {
        store(image.digital_in[0], 0x5A);
        store(image.digital_in[1], 0xA5);
        store(image.analog_in[0], 1.25F);
        store(image.analog_in[1], 2.5F);
    }
    void expect_inputs_marked() {
        EXPECT_EQ(load(image.digital_in[0]), 0x5A);
        EXPECT_EQ(load(image.digital_in[1]), 0xA5);
        EXPECT_EQ(load(image.analog_in[0]), 1.25F);
        EXPECT_EQ(load(image.analog_in[1]), 2.5F);
    }
    uint32_t queued() {
        QueueCounts counts{};
        EXPECT_EQ(port().read_queue_status(counts), PortResult::ok);
        return counts.in_queue;
    }

    BarePty card;
    ProcessImage image{};
};

// The hunt for an answer in what the line has queued. The rows run in order on one line, each
// from what the row before left queued. Before each row the image's inputs are marked: they must
// stay marked until the row's first valid frame, which publishes kInput1On5V's inputs whole.
TEST_F(FrameLineTest, TheHuntPublishesOnlyValidFramesAndLeavesWhatItCannotUseQueued) {
    struct Look {
        FrameResult result;
        uint32_t queued_after;
    };
    std::vector<uint8_t> bad_sum = kInput1On5V;
    bad_sum[8] = 0xDC;
    std::vector<uint8_t> bad_end = kInput1On5V;
    bad_end[7] = 0x00;
    const struct {
        const char* what;
        std::vector<uint8_t> sent;
        std::vector<Look> looks;
    } rows[] = {
        {"a valid frame", kInput1On5V, {{FrameResult::ok, 0}}},
        {"fewer than nine bytes are not ready and stay queued", {0x12, 0xFE, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x13},
         {{FrameResult::not_ready, 8}}},
        {"the ninth byte completes the frame", {0xDD}, {{FrameResult::ok, 0}}},
        {"bytes before the start byte are skipped", std::vector<uint8_t>{0x00, 0x00} + kInput1On5V, {{FrameResult::ok, 0}}},
        // A refused frame gives up its start byte alone: the hunt takes up again at the byte after
        // it, and skips the rest of the corrupt frame up to the next start byte.
        {"corrupt frames never reach the image", bad_sum + bad_end + kInput1On5V,
         {{FrameResult::bad_sum, 26}, {FrameResult::bad_end, 17}, {FrameResult::ok, 0}}},
        {"a stray start byte before a frame loses nothing of it", std::vector<uint8_t>{0x12} + kInput1On5V,
         {{FrameResult::bad_end, 9}, {FrameResult::ok, 0}}},
        {"nor do two, nor one inside a refused frame", std::vector<uint8_t>{0x12, 0x12, 0x00, 0x12} + kInput1On5V,
         {{FrameResult::bad_end, 12}, {FrameResult::bad_end, 11}, {FrameResult::bad_end, 9}, {FrameResult::ok, 0}}},
        // The hunt gives up once fewer than 9 bytes remain, and what it skipped is gone.
        {"a short frame behind skipped bytes", {0x00, 0x00, 0x12, 0xFE, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x13},
         {{FrameResult::not_ready, 8}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        mark_inputs();
        card.send(row.sent);
        bool published = false;
        for (const Look& look : row.looks) {
            EXPECT_EQ(receive(), look.result);
            EXPECT_EQ(queued(), look.queued_after);
            published = published || look.result == FrameResult::ok;
            if (!published) {
                expect_inputs_marked();
                continue;
            }
            EXPECT_EQ(load(image.digital_in[0]), 0xFE);
            EXPECT_EQ(load(image.digital_in[1]), 0xFF);
            EXPECT_EQ(load(image.analog_in[0]), 5.0F);
            EXPECT_EQ(load(image.analog_in[1]), 0.0F);
        }
    }
}

TEST_F(FrameLineTest, FramesFromTwoThreadsNeverInterleave) {
    constexpr int kFramesPerThread = 200;
    auto sender = [this] {
        for (int i = 0; i < kFramesPerThread; ++i) send();
    };
    std::thread poll_side(sender);
    std::thread host_side(sender);
    std::vector<uint8_t> line;
    while (line.size() < 2 * kFramesPerThread * 7U) {
        const std::vector<uint8_t> more = card.received(2000);
        if (more.empty()) break;
        line.insert(line.end(), more.begin(), more.end());
    }
    poll_side.join();
    host_side.join();
    ASSERT_EQ(line.size(), 2 * kFramesPerThread * 7U);
    for (std::size_t i = 0; i < line.size(); i += 7) {
        ASSERT_EQ(std::vector<uint8_t>(line.begin() + static_cast<long>(i), line.begin() + static_cast<long>(i) + 7),
                  (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x03, 0xFC}))
            << "at byte " << i;
    }
}

// Run under ThreadSanitizer: the host's thread reads the image while frames are published.
TEST_F(FrameLineTest, TheImageIsReadWhileFramesArriveWithoutADataRace) {
    std::atomic<bool> done{false};
    std::thread host_side([&] {
        unsigned seen = 0;
        while (!done.load()) seen += load(image.digital_in[0]) + static_cast<unsigned>(load(image.analog_in[0]));
        EXPECT_GE(seen, 0U);
    });
    for (int i = 0; i < 100; ++i) {
        card.send(kInput1On5V);
        EXPECT_EQ(receive(), FrameResult::ok);
        store_outputs(image, {{static_cast<uint8_t>(i), 0}, {0, 0}});
    }
    done = true;
    host_side.join();
}

TEST_F(FrameLineTest, AHungUpLineEndsTheHuntAndTheDrainAtOnce) {
    card.send({0x00, 0x12});
    card.hang_up();
    EXPECT_EQ(receive(), FrameResult::not_ready);
    EXPECT_TRUE(port().port_lost());
    send();
    QueueCounts counts{};
    EXPECT_EQ(port().read_queue_status(counts), PortResult::lost);
    uint8_t byte = 0;
    EXPECT_EQ(port().read_byte(byte), PortResult::lost);
}

}  // namespace
