// The rate of frames to the card, measured over the newest second or so of the host's cycles:
// the driver's polling, or with the tap the host's.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace vek::panel {

class PollRate {
public:
    // The count of frames to the card so far, at a steady time in µs.
    void sample(int64_t at_us, uint64_t frames);
    // A new start: the frames before it tell nothing of the new one's rate.
    void clear() { samples_.clear(); }
    // Frames a second; 0 before two samples apart in time.
    double hz() const;

private:
    std::deque<std::pair<int64_t, uint64_t>> samples_;  // (µs, frames to card)
};

}  // namespace vek::panel
