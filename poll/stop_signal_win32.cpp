#include <windows.h>

#include <atomic>
#include <new>

#include "support/clock.h"
#include "support/win32_waits.h"
#include "poll/stop_signal.h"

namespace vek {

struct StopSignalState {
    std::atomic<bool> is_raised;  // read without a system call (under Wine, a server request)
    HANDLE raised;  // manual-reset event: once set, every later wait sees it
    HANDLE timer;   // a high-resolution timer, or null where the system has none
};

namespace {

// A wait that the timer should have ended long ago: the timer is missing or broken.
constexpr DWORD kTimerSlackMs = 100;

}  // namespace

StopSignal::StopSignal() : state_(new (std::nothrow) StopSignalState{}) {
    if (state_ == nullptr) return;
    state_->raised = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (state_->raised == nullptr) {
        delete state_;
        state_ = nullptr;
        return;
    }
    // WaitForSingleObject rounds a timeout up to the system tick (up to 15.6 ms): a 50 ms delay
    // would become 62.5 ms. The high-resolution timer keeps it to the millisecond.
    state_->timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
}

StopSignal::~StopSignal() {
    if (state_ == nullptr) return;
    if (state_->timer != nullptr) CloseHandle(state_->timer);
    CloseHandle(state_->raised);
    delete state_;
}

void StopSignal::raise() {
    state_->is_raised.store(true);
    SetEvent(state_->raised);
}

bool StopSignal::raised() const { return state_->is_raised.load(); }

PortWake StopSignal::port_wake() const { return PortWake{&state_->is_raised, state_->raised}; }

bool StopSignal::wait_us(uint64_t us) {
    if (raised()) return true;
    // At delay 0, the frame's wire time and the rest of the answer's: under Wine each of these
    // two waits, on a timer, lasted up to a millisecond longer than asked (measured), and the
    // cycle took 1.7 times its wire time.
    if (us < kSpinBelowUs) return spin_us(us, &state_->is_raised);
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(us * 10U);  // relative, in 100 ns units
    const bool timed = us != 0 && state_->timer != nullptr &&
                       SetWaitableTimer(state_->timer, &due, 0, nullptr, nullptr, FALSE) != 0;
    if (!timed) return WaitForSingleObject(state_->raised, whole_ms(us)) == WAIT_OBJECT_0;

    const HANDLE both[2] = {state_->raised, state_->timer};
    const DWORD bound = whole_ms(us) >= INFINITE - kTimerSlackMs ? INFINITE - 1 : whole_ms(us) + kTimerSlackMs;
    return WaitForMultipleObjects(2, both, FALSE, bound) == WAIT_OBJECT_0;
}

}  // namespace vek
