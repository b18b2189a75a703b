// Time for the link and the poll thread: a monotonic clock finer than the platform's tick count
// (Wine's GetTickCount moves in 16 ms steps), and sleeps shorter than a millisecond.
#pragma once

#include <cstdint>

namespace vek {

// Microseconds since an arbitrary start; never goes back.
uint64_t monotonic_us();

// Sleeps at least `us` microseconds (0 just yields).
void sleep_us(uint64_t us);

// Where the platform has no precise timer of its own (Windows before 10 1803), its waits end on
// the system's clock tick, up to 15.6 ms late; begin_fine_timing then makes the tick 1 ms until
// end_fine_timing is given what it returned. Elsewhere neither does anything. Calls may overlap:
// the system counts them.
enum class FineTiming { not_needed, raised, unavailable };
FineTiming begin_fine_timing();
void end_fine_timing(FineTiming timing);

}  // namespace vek
