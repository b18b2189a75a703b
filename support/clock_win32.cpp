#include <windows.h>

#include <timeapi.h>

#include "support/clock.h"
#include "support/win32_waits.h"

namespace vek {

namespace {

uint64_t performance_frequency() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);  // cannot fail since Windows XP
    return static_cast<uint64_t>(frequency.QuadPart);
}

// The finest period timeBeginPeriod takes; the poll thread's waits are whole milliseconds.
constexpr UINT kFineTimerPeriodMs = 1;

// Sleep() rounds up to the system tick (up to 15.6 ms); a high-resolution timer does not.
bool sleep_on_precise_timer(uint64_t us) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer == nullptr) return false;  // older systems: fall back to Sleep
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(us * 10U);  // relative, in 100 ns units
    bool slept = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0 &&
                 WaitForSingleObject(timer, static_cast<DWORD>(us / 1000U + 100U)) == WAIT_OBJECT_0;
    CloseHandle(timer);
    return slept;
}

}  // namespace

uint64_t monotonic_us() {
    static const uint64_t frequency = performance_frequency();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    return ticks / frequency * 1000000U + ticks % frequency * 1000000U / frequency;
}

// Without the high-resolution timer (CreateWaitableTimerExW refuses the flag with
// ERROR_INVALID_PARAMETER before Windows 10 1803) every wait falls back to one that ends on the
// tick. Until Windows 10 2004 timeBeginPeriod is system-wide, so it is held only while needed.
FineTiming begin_fine_timing() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer != nullptr) {
        CloseHandle(timer);
        return FineTiming::not_needed;
    }
    return timeBeginPeriod(kFineTimerPeriodMs) == TIMERR_NOERROR ? FineTiming::raised : FineTiming::unavailable;
}

void end_fine_timing(FineTiming timing) {
    if (timing == FineTiming::raised) timeEndPeriod(kFineTimerPeriodMs);
}

bool spin_us(uint64_t us, const std::atomic<bool>* stop) {
    const uint64_t until = monotonic_us() + us;
    while (monotonic_us() < until) {
        if (stop != nullptr && stop->load()) return true;
        SwitchToThread();  // returns at once when no other thread is ready to run
    }
    return stop != nullptr && stop->load();
}

void sleep_us(uint64_t us) {
    if (us == 0) {
        Sleep(0);
        return;
    }
    // A frame's wire time, a probe's pause: a tick-long wait made each of a silent port's 100
    // probes a tick long.
    if (us < kSpinBelowUs) {
        spin_us(us, nullptr);
        return;
    }
    if (us < 20000U && sleep_on_precise_timer(us)) return;
    Sleep(static_cast<DWORD>((us + 999U) / 1000U));
}

}  // namespace vek
