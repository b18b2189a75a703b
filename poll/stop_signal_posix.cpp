#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "poll/stop_signal.h"

struct StopSignalState {
    std::mutex lock;
    std::condition_variable changed;
    bool raised = false;
};

StopSignal::StopSignal() : state_(new (std::nothrow) StopSignalState) {}

StopSignal::~StopSignal() { delete state_; }

void StopSignal::raise() {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->raised = true;
    }
    state_->changed.notify_all();
}

bool StopSignal::raised() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->raised;
}

bool StopSignal::wait_us(uint64_t us) {
    std::unique_lock<std::mutex> guard(state_->lock);
    // wait_for measures on the steady clock, so a change of the wall clock cannot stretch it.
    return state_->changed.wait_for(guard, std::chrono::microseconds(us), [this] { return state_->raised; });
}
