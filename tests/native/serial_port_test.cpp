// The Linux serial backend on real pseudo-terminals: where COMn lives, the line settings, who
// may open it, and what a vanished line does to every call.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "link/port_path.h"
#include "link/serial_port.h"
#include "tests/native/link_fixture.h"

namespace {

const uint8_t kOneByte[] = {'x'};

TEST(PortPath, APortsFolderOverridesTheSystemsSerialDevices) {
    ::unsetenv(kPortsFolderVariable);
    EXPECT_EQ(port_device_path(1), "/dev/ttyS0");
    EXPECT_EQ(port_device_path(127), "/dev/ttyS126");
    ::setenv(kPortsFolderVariable, "", 1);
    EXPECT_EQ(port_device_path(3), "/dev/ttyS2");
    ::setenv(kPortsFolderVariable, "/run/ports", 1);
    EXPECT_EQ(port_device_path(3), "/run/ports/com3");
    EXPECT_EQ(port_device_path(127), "/run/ports/com127");
    ::unsetenv(kPortsFolderVariable);
}

using SerialPortTest = LinkTest;

TEST_F(SerialPortTest, OpensRawAt115200WithoutFlowControlAndKeepsOthersOut) {
    BarePty card;
    map_port(7, card.device());
    // Opened first: once the driver has the port, TIOCEXCL keeps out every later open but root's.
    const int other = ::open(card.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(port().open_port(7), PortResult::ok);
    EXPECT_EQ(port().open_port_number(), 7U);
    EXPECT_EQ(port().rts_state(), RtsState::not_asserted);
    port().assert_rts();  // a pty has no modem lines: refused, and harmless
    port().assert_dtr();
    EXPECT_EQ(port().rts_state(), RtsState::asserted);

    termios tio{};
    ASSERT_EQ(::tcgetattr(other, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0U);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0U);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    // Root passes TIOCEXCL, so a second driver is kept out by the lock.
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);

    port().close_port();
    EXPECT_EQ(port().open_port_number(), 0U);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

TEST_F(SerialPortTest, PortsThatAreAbsentBusyOrNotSerialRefuseToOpen) {
    BarePty card;
    EXPECT_EQ(port().open_port(1), PortResult::failed);  // no link at all
    ASSERT_EQ(::mkdir(ports.file("empty").c_str(), 0700), 0);
    map_port(2, ports.file("empty"));
    EXPECT_EQ(port().open_port(2), PortResult::failed);
    write_file(ports.file("plain"), "not a tty");
    map_port(3, ports.file("plain"));
    EXPECT_EQ(port().open_port(3), PortResult::failed);
    map_port(4, card.device());
    EXPECT_EQ(port().open_port(0), PortResult::failed);
    EXPECT_EQ(port().open_port(256), PortResult::failed);

    const int holder = ::open(card.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port().open_port(4), PortResult::failed);  // busy: another program has it
    ::close(holder);
    EXPECT_EQ(port().open_port(4), PortResult::ok);

    // A failed open closes what was open before, and leaves nothing open.
    EXPECT_EQ(port().open_port(1), PortResult::failed);
    EXPECT_EQ(port().open_port_number(), 0U);
    QueueCounts counts{};
    EXPECT_EQ(port().read_queue_status(counts), PortResult::closed);
    EXPECT_EQ(port().write_bytes(kOneByte, 1), PortResult::closed);
}

TEST_F(SerialPortTest, QueuedBytesAreCountedAndReadOneByOne) {
    BarePty card;
    map_port(5, card.device());
    ASSERT_EQ(port().open_port(5), PortResult::ok);
    uint8_t byte = 0;
    EXPECT_EQ(port().read_byte(byte), PortResult::nothing_yet);
    card.send({0x00, 0x80, 0xFF});
    QueueCounts counts{};
    ASSERT_EQ(port().read_queue_status(counts), PortResult::ok);
    EXPECT_EQ(counts.in_queue, 3U);
    for (const int sent : {0x00, 0x80, 0xFF}) {
        ASSERT_EQ(port().read_byte(byte), PortResult::ok);
        EXPECT_EQ(byte, sent);
        ASSERT_EQ(port().read_queue_status(counts), PortResult::ok);
    }
    EXPECT_EQ(counts.in_queue, 0U) << "bytes read ahead of the frame layer count as queued until handed out";
    EXPECT_EQ(port().read_byte(byte), PortResult::nothing_yet);
    EXPECT_FALSE(port().port_lost());
}

TEST_F(SerialPortTest, OpeningAgainAndClosingLeaveNoDescriptorOrThreadBehind) {
    BarePty card_a;
    BarePty card_b;
    map_port(1, card_a.device());
    map_port(2, card_b.device());
    const std::size_t fds = descriptor_count();
    const std::size_t threads = thread_count();
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(port().open_port(1 + static_cast<uint32_t>(round % 2)), PortResult::ok);
    }
    EXPECT_EQ(descriptor_count(), fds + 1);
    port().close_port();
    port().close_port();  // twice is harmless
    EXPECT_EQ(descriptor_count(), fds);
    EXPECT_EQ(thread_count(), threads);
}

TEST_F(SerialPortTest, AVanishedLineIsReportedUntilTheNextOpen) {
    BarePty card;
    map_port(3, card.device());
    ASSERT_EQ(port().open_port(3), PortResult::ok);
    card.hang_up();
    QueueCounts counts{};
    EXPECT_EQ(port().read_queue_status(counts), PortResult::lost);
    EXPECT_TRUE(port().port_lost());
    uint8_t byte = 0;
    EXPECT_EQ(port().read_byte(byte), PortResult::lost);
    EXPECT_EQ(port().write_bytes(kOneByte, 1), PortResult::lost);

    BarePty replacement;
    map_port(3, replacement.device());
    ASSERT_EQ(port().open_port(3), PortResult::ok);
    EXPECT_FALSE(port().port_lost());
    EXPECT_EQ(port().read_queue_status(counts), PortResult::ok);
}

}  // namespace
