// Monotonic time in nanoseconds, and the pace of the card's serial line.
#pragma once

#include <cstdint>

// 115200 baud, 8N1: ten bits on the wire for every byte.
constexpr int64_t kByteNs = 86806;

int64_t monotonic_ns();
// Sleeps to an absolute point on the monotonic clock, so a run of paced bytes does not drift by
// the sum of every wake-up's lateness.
void sleep_until_ns(int64_t deadline_ns);
