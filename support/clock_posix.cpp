#include <cerrno>
#include <ctime>

#include "support/clock.h"

namespace vek {

uint64_t monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000U + static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

void sleep_us(uint64_t us) {
    timespec rest{static_cast<time_t>(us / 1000000U), static_cast<long>(us % 1000000U) * 1000L};
    // A signal only shortens the sleep; finish the rest of it.
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Linux's sleeps and poll() already end within microseconds of their due time.
FineTiming begin_fine_timing() { return FineTiming::not_needed; }

void end_fine_timing(FineTiming) {}

}  // namespace vek
