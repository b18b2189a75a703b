// The virtual card seen from the driver's side of its pseudo-terminal: what it answers, what it
// ignores, how each line fault shows on the wire, and unplugging.
#include "tools/virtual_card/virtual_card.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>

#include "tests/native/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kAllOff = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
const Bytes kSomeOn = {0x02, 0xFF, 0x00, 0x80, 0x10, 0x03, 0x6D};
const Bytes kDefaultAnswer = {0x12, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x13, 0xDE};
// Generous: only there so that a broken card fails the test instead of hanging it.
constexpr int kPatienceMs = 5000;

// The driver's end, opened the way the driver opens a port.
class DriverEnd {
public:
    explicit DriverEnd(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~DriverEnd() {
        if (fd_ >= 0) ::close(fd_);
    }
    DriverEnd(const DriverEnd&) = delete;
    DriverEnd& operator=(const DriverEnd&) = delete;

    int fd() const { return fd_; }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to count bytes, as they arrive; fewer if the deadline passes first. reads counts the
    // read() calls that returned data.
    Bytes receive(std::size_t count, int timeout_ms = kPatienceMs, int* reads = nullptr) const {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0 || (p.revents & POLLIN) == 0) break;
            uint8_t buffer[64];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
            if (reads != nullptr) ++*reads;
        }
        return got;
    }

private:
    int fd_;
};

std::string link_target(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::size_t open_fd_count() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dir != nullptr && ::readdir(dir) != nullptr) ++count;
    if (dir != nullptr) ::closedir(dir);
    return count;
}

Bytes answer(uint8_t in0, uint8_t in1, uint16_t a1, uint16_t a2) {
    const auto frame = card_input_frame(in0, in1, a1, a2);
    return Bytes(frame.begin(), frame.end());
}

class VirtualCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(card.start(&error)) << error;
        driver = std::make_unique<DriverEnd>(link);
        ASSERT_GE(driver->fd(), 0) << std::strerror(errno);
    }
    Bytes exchange(const Bytes& frame, std::size_t expected = 9) {
        driver->send(frame);
        return driver->receive(expected);
    }

    TempDir dir;
    std::string link = dir.file("com3");
    VirtualCard card{{link, false}};
    std::unique_ptr<DriverEnd> driver;
};

TEST(CardInputFrame, CarriesInputsAndAnalogsLowByteFirstWithTheCardsChecksum) {
    EXPECT_EQ(answer(0xFE, 0xFF, 1023, 0), (Bytes{0x12, 0xFE, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x13, 0xDD}));
    EXPECT_EQ(answer(0xFF, 0xFF, 0, 0), kDefaultAnswer);
    for (unsigned v : {0x0000u, 0x1234u, 0xABCDu, 0xFFFFu}) {
        const Bytes frame = answer(static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint16_t>(v),
                                   static_cast<uint16_t>(~v));
        unsigned sum = 0;
        for (uint8_t b : frame) sum += b;
        EXPECT_EQ(sum % 256, 0x01u) << v;
        EXPECT_EQ(frame[3] | frame[4] << 8, static_cast<int>(v));
    }
}

TEST_F(VirtualCardTest, AnswersEachValidFrameWithTheCurrentInputs) {
    EXPECT_EQ(link_target(link), card.device_path());
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);

    card.set_input(1, true);
    card.set_analog_raw(1, 1023);
    EXPECT_EQ(exchange(kSomeOn), (Bytes{0x12, 0xFE, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x13, 0xDD}));

    card.set_input(1, false);
    card.set_input(16, true);
    card.set_input(9, true);
    card.set_analog_raw(2, 0x1234);
    EXPECT_EQ(card.digital_inputs(), (std::array<uint8_t, 2>{0xFF, 0x7E}));
    EXPECT_EQ(exchange(kAllOff), answer(0xFF, 0x7E, 1023, 0x1234));

    card.set_digital_inputs(0x0F, 0xF0);
    EXPECT_EQ(exchange(kAllOff), answer(0x0F, 0xF0, 1023, 0x1234));

    const auto frames = card.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(Bytes(frames[1].bytes.begin(), frames[1].bytes.end()), kSomeOn);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].valid);
        EXPECT_GE(frames[i].at_ms, i == 0 ? 0.0 : frames[i - 1].at_ms) << "timestamps never go back";
    }
    EXPECT_EQ(card.frame_count(), 4u);
    EXPECT_EQ(card.answer_count(), 4u);
    EXPECT_EQ(card.garbage_byte_count(), 0u);

    card.set_all_inputs(0x12, 0x34, 0x0567, 0x089A);
    EXPECT_EQ(exchange(kAllOff), answer(0x12, 0x34, 0x0567, 0x089A));

    // Wired back: a frame's outputs are its own answer's inputs (on is a 0 bit there), and an
    // analog output of 0-255 reads back as 0-5 V.
    card.set_loopback(true);
    EXPECT_EQ(exchange(kSomeOn), answer(0x00, 0xFF, 514, 64));
    EXPECT_EQ(exchange({0x02, 0x01, 0x80, 0xFF, 0x00, 0x03, 0x7C}), answer(0xFE, 0x7F, 1023, 0));
    card.set_loopback(false);
    card.set_input(1, false);
    EXPECT_EQ(exchange(kSomeOn), answer(0xFF, 0x7F, 1023, 0)) << "unwired, the inputs stay as last driven";
}

TEST_F(VirtualCardTest, HuntsPastInvalidFramesAndGarbageToTheNextValidFrame) {
    // Bad checksum, noise, wrong end byte, and a cut-off frame whose start hides inside the
    // candidate that ends up holding the valid frame's first bytes.
    const Bytes line = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFD,  // 7 bytes, invalid
                        0xAA, 0x55,                                // 2 bytes of noise
                        0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFB,  // sum right, end wrong
                        0x02, 0xFF};                               // cut short
    driver->send(line);
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);
    EXPECT_EQ(driver->receive(1, 200), Bytes{}) << "invalid frames get no answer";

    EXPECT_EQ(card.frame_count(), 1u);
    EXPECT_EQ(card.invalid_frame_count(), 3u);
    EXPECT_EQ(card.garbage_byte_count(), line.size());
    const auto frames = card.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_FALSE(frames[0].valid);
    EXPECT_EQ(Bytes(frames[3].bytes.begin(), frames[3].bytes.end()), kAllOff);

    card.clear_frames();
    EXPECT_EQ(card.frames().size(), 0u);
    EXPECT_EQ(card.garbage_byte_count(), 0u);
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);
    EXPECT_TRUE(card.wait_for_frames(1, kPatienceMs));
}

TEST_F(VirtualCardTest, CorruptingFaultsShowOnTheWire) {
    CardFault fault;
    fault.bad_sum = true;
    card.set_fault(fault);
    Bytes expected = kDefaultAnswer;
    expected[8] = static_cast<uint8_t>(expected[8] + 1);
    EXPECT_EQ(exchange(kAllOff), expected);

    fault.bad_end = true;
    card.set_fault(fault);
    expected[7] = 0x00;
    EXPECT_EQ(exchange(kAllOff), expected) << "faults combine";

    fault = CardFault{};
    fault.garbage = 40;
    card.set_fault(fault);
    const Bytes got = exchange(kAllOff, 49);
    ASSERT_EQ(got.size(), 49u);
    EXPECT_EQ(std::count(got.begin(), got.begin() + 40, 0x12), 0) << "garbage never holds a start byte";
    EXPECT_EQ(Bytes(got.begin() + 40, got.end()), kDefaultAnswer);
}

TEST_F(VirtualCardTest, SilentCardRecordsButNeverAnswers) {
    CardFault fault;
    fault.silent = true;
    card.set_fault(fault);
    driver->send(kAllOff);
    ASSERT_TRUE(card.wait_for_frames(1, kPatienceMs));

    // Had the silent frame been answered, its answer would come first, with the old inputs.
    card.set_fault(CardFault{});
    card.set_input(3, true);
    EXPECT_EQ(exchange(kAllOff), answer(0xFB, 0xFF, 0, 0));
    EXPECT_EQ(card.frame_count(), 2u);
}

TEST_F(VirtualCardTest, DelayedSplitAndWireTimedAnswersComeNoSooner) {
    using std::chrono::milliseconds;
    CardFault fault;
    fault.delay_ms = 150;
    card.set_fault(fault);
    auto sent = Clock::now();
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);
    EXPECT_GE(Clock::now() - sent, milliseconds(150));

    fault = CardFault{};
    fault.split_ms = 40;
    card.set_fault(fault);
    int reads = 0;
    sent = Clock::now();
    driver->send(kAllOff);
    EXPECT_EQ(driver->receive(9, kPatienceMs, &reads), kDefaultAnswer);
    EXPECT_GE(Clock::now() - sent, milliseconds(8 * 40)) << "nine bytes, eight gaps";
    EXPECT_GT(reads, 1) << "the bytes come one at a time";

    card.set_fault(CardFault{});
    card.set_wire_time(true);
    sent = Clock::now();
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);
    EXPECT_GE(Clock::now() - sent, std::chrono::nanoseconds(16 * 86800)) << "7 bytes out, 9 back";
}

TEST_F(VirtualCardTest, UnplugHangsUpTheDriverAndReplugPointsTheLinkAtANewLine) {
    const std::string first = card.device_path();
    card.unplug();
    EXPECT_FALSE(card.plugged());
    EXPECT_EQ(card.device_path(), "");
    pollfd p{driver->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kPatienceMs), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    EXPECT_EQ(::write(driver->fd(), kAllOff.data(), kAllOff.size()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(link_target(link), link + ".unplugged")
        << "a pulled cable leaves a port name that opens nothing, never the old terminal's number";

    std::string error;
    ASSERT_TRUE(card.replug(&error)) << error;
    EXPECT_TRUE(card.plugged());
    EXPECT_EQ(link_target(link), card.device_path());
    driver = std::make_unique<DriverEnd>(link);
    EXPECT_EQ(exchange(kAllOff), kDefaultAnswer);

    // Another program takes the name: neither an unplug nor a replug touches it, nor the exit.
    const std::string other = dir.file("other");
    ASSERT_EQ(::symlink(other.c_str(), dir.file("taken").c_str()), 0);
    ASSERT_EQ(::rename(dir.file("taken").c_str(), link.c_str()), 0);
    card.unplug();
    EXPECT_EQ(link_target(link), other);
    EXPECT_FALSE(card.replug(&error));
    EXPECT_NE(error.find("another program has taken the name"), std::string::npos) << error;
    EXPECT_EQ(link_target(link), other);
}

TEST(VirtualCard, ReplacesOnlyALinkAtItsNameAndLeavesNothingBehind) {
    TempDir dir;
    const std::string link = dir.file("com1");
    {
        SCOPED_TRACE("a file at the name is someone's own: refused, and kept");
        write_file(link, "a stale file");
        VirtualCard card({link, true});
        std::string error;
        EXPECT_FALSE(card.start(&error));
        EXPECT_NE(error.find(link + " exists and is not a link"), std::string::npos) << error;
        EXPECT_EQ(read_file(link), "a stale file");
        ASSERT_EQ(::unlink(link.c_str()), 0);
    }
    // An earlier run's port link is a port name: replaced.
    ASSERT_EQ(::symlink("/dev/pts/stale", link.c_str()), 0);
    const std::size_t fds_before = open_fd_count();
    {
        VirtualCard card({link, true});
        std::string error;
        ASSERT_TRUE(card.start(&error)) << error;
        EXPECT_EQ(link_target(link), card.device_path());
        DriverEnd driver(link);
        driver.send(kAllOff);
        EXPECT_EQ(driver.receive(9), kDefaultAnswer);

        SCOPED_TRACE("a link another live card holds, plugged or not: refused, and kept");
        for (bool plugged : {true, false}) {
            if (!plugged) card.unplug();
            const std::string held = link_target(link);
            VirtualCard second({link, true});
            EXPECT_FALSE(second.start(&error));
            EXPECT_NE(error.find(link + " is held by another virtual card"), std::string::npos) << error;
            EXPECT_EQ(link_target(link), held);
        }
    }
    EXPECT_FALSE(file_exists(link));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
    EXPECT_EQ(open_fd_count(), fds_before);

    VirtualCard broken({dir.file("missing-folder/com1")});
    std::string error;
    EXPECT_FALSE(broken.start(&error));
    EXPECT_NE(error, "");
}

}  // namespace
