#include "tests/native/link_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "link/port_path.h"

PortResult StallingBackend::queue_counts(QueueCounts& counts) {
    const uint32_t ms = stall_ms_.exchange(0);
    if (ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return inner_->queue_counts(counts);
}

BarePty::BarePty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
    device_ = ::ptsname(master_);
    slave_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) throw std::runtime_error("pty slave");
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
}

BarePty::~BarePty() { hang_up(); }

void BarePty::send(const std::vector<uint8_t>& bytes) {
    int before = 0;
    ::ioctl(slave_, FIONREAD, &before);
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // The bytes reach the other end's queue asynchronously; wait until they are all counted.
    for (int i = 0; i < 5000; ++i) {
        int queued = 0;
        ::ioctl(slave_, FIONREAD, &queued);
        if (queued >= before + static_cast<int>(bytes.size())) return;
        ::usleep(1000);
    }
}

std::vector<uint8_t> BarePty::received(int wait_ms) {
    std::vector<uint8_t> bytes;
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, wait_ms) == 1 && (p.revents & POLLIN) != 0) {
        uint8_t chunk[256];
        const ssize_t got = ::read(master_, chunk, sizeof chunk);
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        wait_ms = 20;  // the rest of a write follows at once
    }
    return bytes;
}

void BarePty::hang_up() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

void LinkTest::SetUp() {
    ::setenv(kPortsFolderVariable, ports.path().c_str(), 1);
}

void LinkTest::TearDown() {
    port().close_port();
    ::unsetenv(kPortsFolderVariable);
}

void LinkTest::map_port(uint32_t n, const std::string& device) {
    ::unlink(port_link(n).c_str());
    ASSERT_EQ(::symlink(device.c_str(), port_link(n).c_str()), 0);
}
