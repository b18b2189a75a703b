// Time for the link and the poll thread: a monotonic clock finer than the platform's tick count
// (Wine's GetTickCount moves in 16 ms steps), and sleeps shorter than a millisecond.
#pragma once

#include <cstdint>

namespace vek {

// Microseconds since an arbitrary start; never goes back.
uint64_t monotonic_us();

// Sleeps at least `us` microseconds (0 just yields).
void sleep_us(uint64_t us);

}  // namespace vek
