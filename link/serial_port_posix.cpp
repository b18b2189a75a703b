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
#include <ctime>

#include "link/clock.h"
#include "link/port_path.h"
#include "link/serial_backend.h"

namespace {

int g_fd = -1;

// Bytes read from the port and not yet handed out: one read() takes a whole answer.
struct Received {
    uint8_t bytes[64];
    std::size_t at;
    std::size_t size;
};
Received g_received{};

// How long a write may wait for room in the output queue before it gives up.
constexpr int kWriteRoomTimeoutMs = 100;

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

}  // namespace

namespace serial_backend {

bool open(uint32_t n) {
    const std::string path = port_device_path(n);
    // Non-blocking, or the open itself can wait for a carrier; no controlling terminal.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // TIOCEXCL keeps other users out but not root; the lock also stops a second driver as root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || !configure_line(fd)) {
        ::close(fd);
        return false;
    }
    g_fd = fd;
    g_received = Received{};
    return true;
}

void close() {
    if (g_fd < 0) return;
    ioctl(g_fd, TIOCNXCL);  // some ptys refuse a reopen while the flag is left set
    ::close(g_fd);
    g_fd = -1;
    g_received = Received{};
}

bool queue_status(QueueCounts* counts, bool* lost) {
    int in = 0;
    int out = 0;
    if (ioctl(g_fd, TIOCINQ, &in) != 0 || ioctl(g_fd, TIOCOUTQ, &out) != 0) {
        *lost = is_lost(errno);
        return false;
    }
    counts->in_queue = static_cast<uint32_t>(in) + static_cast<uint32_t>(g_received.size - g_received.at);
    counts->out_queue = static_cast<uint32_t>(out);
    return true;
}

bool input_queue(uint32_t* count, bool* lost) {
    int in = 0;
    if (ioctl(g_fd, TIOCINQ, &in) != 0) {
        *lost = is_lost(errno);
        return false;
    }
    *count = static_cast<uint32_t>(in) + static_cast<uint32_t>(g_received.size - g_received.at);
    return true;
}

int read_one(uint8_t* byte, bool* lost) {
    if (g_received.at == g_received.size) {
        const ssize_t got = ::read(g_fd, g_received.bytes, sizeof g_received.bytes);
        if (got == 0) {
            // With VMIN and VTIME at 0 an empty queue also reads 0: only a hang-up means the line is gone.
            pollfd p{g_fd, POLLIN, 0};
            *lost = poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            return *lost ? -1 : 0;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) return 0;
            *lost = is_lost(errno);
            return -1;
        }
        g_received.at = 0;
        g_received.size = static_cast<std::size_t>(got);
    }
    *byte = g_received.bytes[g_received.at++];
    return 1;
}

bool write_all(const uint8_t* data, std::size_t size, bool* lost) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(g_fd, data + done, size - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN && wait_writable(g_fd)) continue;
        *lost = put < 0 && is_lost(errno);
        return false;
    }
    return true;
}

// poll() ends on the first byte; the rest of a frame follows at the line's pace, and poll() would
// return at once while any byte is queued, so the wait sleeps out the missing bytes' wire time.
int wait_readable(uint32_t count, uint64_t bound_us, bool* lost) {
    const uint64_t until = monotonic_us() + bound_us;
    for (;;) {
        int queued = 0;
        if (ioctl(g_fd, TIOCINQ, &queued) != 0) {
            *lost = is_lost(errno);
            return -1;
        }
        const auto held = static_cast<uint32_t>(queued) + static_cast<uint32_t>(g_received.size - g_received.at);
        if (held >= count) return 1;
        const uint64_t now = monotonic_us();
        if (now >= until) return 0;
        const uint64_t left = until - now;
        if (held > 0) {
            sleep_us(std::min(wire_time_us(count - held), left));
            continue;
        }
        // ppoll, not poll: a bound under a millisecond must not round up to one.
        pollfd p{g_fd, POLLIN, 0};
        const timespec bound{static_cast<time_t>(left / 1000000U), static_cast<long>(left % 1000000U) * 1000L};
        const int ready = ppoll(&p, 1, &bound, nullptr);
        if (ready < 0 && errno != EINTR) {
            *lost = is_lost(errno);
            return -1;
        }
        // A hang-up also reports POLLIN, and reads nothing for ever after.
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            *lost = true;
            return -1;
        }
    }
}

void set_rts() {
    int bits = TIOCM_RTS;
    ioctl(g_fd, TIOCMBIS, &bits);  // ENOTTY on a pty, which has no modem lines
}

void set_dtr() {
    int bits = TIOCM_DTR;
    ioctl(g_fd, TIOCMBIS, &bits);
}

}  // namespace serial_backend
