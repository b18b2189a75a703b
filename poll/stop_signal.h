// How stop reaches a poll thread that is waiting: the thread's delays can be hours long, so every
// wait it makes ends as soon as the signal is raised.
#pragma once

#include <cstdint>

#include "link/port_wake.h"

namespace vek {

struct StopSignalState;  // the platform's own wait object

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // False when the platform could not make the wait object; such a signal must not be used.
    bool ready() const { return state_ != nullptr; }

    // Raised once, it stays raised.
    void raise();
    bool raised() const;

    // Waits `us` microseconds, or less if the signal is raised first (or was already).
    // True when it was raised.
    bool wait_us(uint64_t us);

    // The signal as the link's waits on the port take it, so that they too end at a stop.
    PortWake port_wake() const;

private:
    StopSignalState* state_;
};

}  // namespace vek
