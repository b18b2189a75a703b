// A semaphore, not a condition variable: a timed wait on a condition variable takes its mutex
// back as contended and so costs a second system call on every wake-up, every cycle.
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>

#include "poll/stop_signal.h"

namespace vek {

struct StopSignalState {
    sem_t posted;  // posted once by raise, and posted again by every wait it ends
    std::atomic<bool> raised{false};
};

StopSignal::StopSignal() : state_(new (std::nothrow) StopSignalState) {
    if (state_ != nullptr && sem_init(&state_->posted, 0, 0) != 0) {
        delete state_;
        state_ = nullptr;
    }
}

StopSignal::~StopSignal() {
    if (state_ == nullptr) return;
    sem_destroy(&state_->posted);
    delete state_;
}

void StopSignal::raise() {
    state_->raised.store(true);
    sem_post(&state_->posted);
}

bool StopSignal::raised() const { return state_->raised.load(); }

// A semaphore is nothing ppoll can wait on: the port's waits look at the flag.
PortWake StopSignal::port_wake() const { return PortWake{&state_->raised, nullptr}; }

bool StopSignal::wait_us(uint64_t us) {
    if (raised()) return true;
    // On the monotonic clock, so that a change of the wall clock cannot stretch the wait.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const uint64_t ns = static_cast<uint64_t>(until.tv_nsec) + us % 1000000U * 1000U;
    until.tv_sec += static_cast<time_t>(us / 1000000U + ns / 1000000000U);
    until.tv_nsec = static_cast<long>(ns % 1000000000U);
    while (sem_clockwait(&state_->posted, CLOCK_MONOTONIC, &until) != 0) {
        if (errno != EINTR) return raised();  // the time is up
    }
    sem_post(&state_->posted);  // the signal stays raised for every later wait
    return true;
}

}  // namespace vek
