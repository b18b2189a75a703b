// Prints how long one exchange with the card takes, with and without wire time, as seen from
// the driver's side. Figures, not pass or fail: a shared machine makes any bound meaningless.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "virtual_card.h"

namespace {

// One exchange in microseconds; negative if the answer does not come within a second.
double exchange_us(int fd) {
    static const uint8_t frame[7] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
    const auto start = std::chrono::steady_clock::now();
    if (::write(fd, frame, sizeof frame) != 7) return -1;
    std::size_t got = 0;
    while (got < 9) {
        pollfd p{fd, POLLIN, 0};
        uint8_t buffer[16];
        if (::poll(&p, 1, 1000) != 1) return -1;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return -1;
        got += static_cast<std::size_t>(n);
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    VirtualCard card({});
    std::string error;
    if (!card.start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int fd = ::open(card.device_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    for (bool wire : {false, true}) {
        card.set_wire_time(wire);
        std::vector<double> us;
        for (int i = 0; i < 500; ++i) us.push_back(exchange_us(fd));
        std::sort(us.begin(), us.end());
        std::printf("wire time %-3s  exchanges %zu  min %7.1f us  median %7.1f us  p99 %7.1f us  max %7.1f us\n",
                    wire ? "on" : "off", us.size(), us.front(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    }
    std::printf("an exchange on the real line: 16 bytes x 86.8 us = 1388.9 us\n");
    ::close(fd);
    return 0;
}
