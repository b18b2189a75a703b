// termios backend. Linux has no line-error latch that stops I/O (a parity or framing error only
// marks or drops the byte), so it needs no receive-watch thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "support/clock.h"
#include "link/port_path.h"
#include "link/serial_backend.h"
#include "link/serial_port.h"

namespace vek {

namespace {

// How long a write may wait for room in the output queue before it gives up.
constexpr int kWriteRoomTimeoutMs = 100;
// A wait for bytes looks at the wake's flag this often: the stop signal has no descriptor that
// ppoll could wait on.
constexpr uint64_t kWakeCheckUs = 1000;

bool is_lost(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }

// Raw 115200 8N1, no flow control of any kind, reads that never wait. Modem lines stay as they
// are on close (no HUPCL), so the card's RTS and DTR do not drop between a probe and polling.
bool configure_line(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    tio.c_iflag |= IGNBRK;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL | CSTOPB | PARENB | CSIZE);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;

    // tcsetattr succeeds if any one setting took: read them back.
    termios now{};
    if (tcgetattr(fd, &now) != 0) return false;
    return cfgetospeed(&now) == B115200 && (now.c_cflag & CSIZE) == CS8 &&
           (now.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 && (now.c_iflag & (IXON | IXOFF)) == 0 &&
           (now.c_lflag & ICANON) == 0;
}

bool wait_writable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, kWriteRoomTimeoutMs) == 1 && (p.revents & POLLOUT) != 0;
}

class PosixLine final : public SerialBackend {
public:
    ~PosixLine() override { close(); }
    PortResult open(uint32_t n) override;
    void close() override;
    PortResult queue_counts(QueueCounts& counts) override;
    PortResult input_count(uint32_t& count) override;
    PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) override;
    PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                              std::size_t room, std::size_t& got) override;
    PortResult write_all(const uint8_t* data, std::size_t size) override;
    void set_rts() override;
    void set_dtr() override;
    void describe_loss(char* text, std::size_t room) const override;

private:
    // A failed call's errno: lost for the errors after which the device will not come back. It
    // is kept either way, since the shared layer takes a failed status query as a loss too.
    PortResult failure(int error) {
        loss_errno_ = error;
        return is_lost(error) ? PortResult::lost : PortResult::failed;
    }
    PortResult hung_up() {
        loss_errno_ = 0;
        return PortResult::lost;
    }

    int fd_ = -1;
    int loss_errno_ = 0;  // why the line was last found gone; 0 for a hang-up
};

PortResult PosixLine::open(uint32_t n) {
    const std::string path = port_device_path(n);
    // Non-blocking, or the open itself can wait for a carrier; no controlling terminal.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PortResult::failed;
    // TIOCEXCL keeps other users out but not root; the lock also stops a second driver as root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || !configure_line(fd)) {
        ::close(fd);
        return PortResult::failed;
    }
    fd_ = fd;
    return PortResult::ok;
}

void PosixLine::close() {
    if (fd_ < 0) return;
    ioctl(fd_, TIOCNXCL);  // some ptys refuse a reopen while the flag is left set
    ::close(fd_);
    fd_ = -1;
}

PortResult PosixLine::queue_counts(QueueCounts& counts) {
    int in = 0;
    int out = 0;
    if (ioctl(fd_, TIOCINQ, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0) return failure(errno);
    counts.in_queue = static_cast<uint32_t>(in);
    counts.out_queue = static_cast<uint32_t>(out);
    return PortResult::ok;
}

PortResult PosixLine::input_count(uint32_t& count) {
    int in = 0;
    if (ioctl(fd_, TIOCINQ, &in) != 0) return failure(errno);
    count = static_cast<uint32_t>(in);
    return PortResult::ok;
}

PortResult PosixLine::read_queued(uint8_t* into, std::size_t room, std::size_t& got) {
    got = 0;
    const ssize_t taken = ::read(fd_, into, room);
    if (taken == 0) {
        // With VMIN and VTIME at 0 an empty queue also reads 0: only a hang-up means the line is gone.
        pollfd p{fd_, POLLIN, 0};
        const bool gone = poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        return gone ? hung_up() : PortResult::nothing_yet;
    }
    if (taken < 0) return errno == EAGAIN || errno == EINTR ? PortResult::nothing_yet : failure(errno);
    got = static_cast<std::size_t>(taken);
    return PortResult::ok;
}

PortResult PosixLine::write_all(const uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd_, data + done, size - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN && wait_writable(fd_)) continue;
        return put < 0 ? failure(errno) : PortResult::failed;
    }
    return PortResult::ok;
}

// poll() ends on the first byte; the rest of a frame follows at the line's pace, and poll() would
// return at once while any byte is queued, so the wait sleeps out the missing bytes' wire time.
// Nothing is read: the bytes stay in the system's queue.
PortResult PosixLine::wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t*, std::size_t,
                                     std::size_t& got) {
    got = 0;
    const uint64_t until = monotonic_us() + bound_us;
    for (;;) {
        int queued = 0;
        if (ioctl(fd_, TIOCINQ, &queued) != 0) return failure(errno);
        const auto held = static_cast<uint32_t>(queued);
        if (held >= missing) return PortResult::ok;
        const uint64_t now = monotonic_us();
        if (now >= until || wake.is_raised()) return PortResult::nothing_yet;
        const uint64_t left = wake.raised != nullptr ? std::min(until - now, kWakeCheckUs) : until - now;
        if (held > 0) {
            sleep_us(std::min(wire_time_us(missing - held), left));
            continue;
        }
        // ppoll, not poll: a bound under a millisecond must not round up to one.
        pollfd p{fd_, POLLIN, 0};
        const timespec bound{static_cast<time_t>(left / 1000000U), static_cast<long>(left % 1000000U) * 1000L};
        const int ready = ppoll(&p, 1, &bound, nullptr);
        if (ready < 0 && errno != EINTR) return failure(errno);
        // A hang-up also reports POLLIN, and reads nothing for ever after.
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return hung_up();
    }
}

void PosixLine::set_rts() {
    int bits = TIOCM_RTS;
    ioctl(fd_, TIOCMBIS, &bits);  // ENOTTY on a pty, which has no modem lines
}

void PosixLine::set_dtr() {
    int bits = TIOCM_DTR;
    ioctl(fd_, TIOCMBIS, &bits);
}

void PosixLine::describe_loss(char* text, std::size_t room) const {
    if (loss_errno_ == 0) {
        std::snprintf(text, room, "the device hung up");
        return;
    }
    char words[128];
    // The GNU strerror_r: it returns the text, which may or may not be in `words`.
    const char* said = strerror_r(loss_errno_, words, sizeof words);
    std::snprintf(text, room, "errno %d, %s", loss_errno_, said);
}

}  // namespace

std::unique_ptr<SerialBackend> make_platform_backend() {
    return std::unique_ptr<SerialBackend>(new (std::nothrow) PosixLine);
}

}  // namespace vek
