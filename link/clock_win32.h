// Short waits on Windows, for the link's and the poll thread's Win32 files. The system's own waits
// are coarse or costly there: without a high-resolution timer (before Windows 10 1803) a wait ends
// on the next clock tick, up to 15.6 ms late; with one, setting the timer and waiting on it are
// several system calls (under Wine, server requests), and overrun by up to a millisecond.
#pragma once

#include <atomic>
#include <cstdint>

namespace vek {

// Waits shorter than this are spun on the performance counter instead.
constexpr uint64_t kSpinBelowUs = 1000;

// Waits `us` on the performance counter, yielding the processor meanwhile; ends early once *stop
// (when given) is raised. True when it ended on the stop.
bool spin_us(uint64_t us, const std::atomic<bool>* stop);

}  // namespace vek
