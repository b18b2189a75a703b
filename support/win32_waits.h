// Short waits on Windows, shared by the Win32 files of the support, link and poll layers. The
// system's own waits are coarse or costly there: without a high-resolution timer (before Windows
// 10 1803) a wait ends on the next clock tick, up to 15.6 ms late; with one, setting the timer and
// waiting on it are several system calls (under Wine, server requests), and overrun by up to a
// millisecond.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace vek {

// CreateWaitableTimerExW's flag for a timer that is not rounded to the tick; older SDKs lack the
// name, and older systems refuse the flag with ERROR_INVALID_PARAMETER.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// Waits shorter than this are spun on the performance counter instead.
constexpr uint64_t kSpinBelowUs = 1000;

// Waits `us` on the performance counter, yielding the processor meanwhile; ends early once *stop
// (when given) is raised. True when it ended on the stop.
bool spin_us(uint64_t us, const std::atomic<bool>* stop);

// A wait's bound in whole milliseconds, rounded up, and short of INFINITE however long it is.
inline DWORD whole_ms(uint64_t us) {
    const uint64_t ms = (us + 999U) / 1000U;
    return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

}  // namespace vek
