// What may end a wait on the port before its bound: the poll thread's stop. The layer that owns
// the signal (poll) hands it down as this, so that the link waits on it without knowing its
// owner. Both parts are optional; an empty PortWake waits out the bound.
#pragma once

#include <atomic>

namespace vek {

struct PortWake {
    // Set once the wait should end, and never cleared; a wait that cannot wait on `event` looks
    // at it between short slices.
    const std::atomic<bool>* raised = nullptr;
    // The same signal as a system wait object a port wait can include: on Windows a manual-reset
    // event handle, set together with `raised`. Null elsewhere.
    void* event = nullptr;

    bool is_raised() const { return raised != nullptr && raised->load(); }
};

}  // namespace vek
