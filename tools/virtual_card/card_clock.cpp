#include "card_clock.h"

#include <time.h>

#include <cerrno>

int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleep_until_ns(int64_t deadline_ns) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
