// The rate of frames to the card, measured from the frames' own times over the newest second or
// so, or over the newest two frames when they are further apart: the driver's polling, or with
// the tap the host's. A poll slower than one a second is told as its cycle.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace vek::panel {

class PollRate {
public:
    // The count of frames to the card so far, and when the newest of them went out (steady µs).
    void sample(int64_t frame_at_us, uint64_t frames);
    // A new start: the frames before it tell nothing of the new one's rate.
    void clear() { points_.clear(); }
    // Frames a second at now_us; 0 before two frames, and once frames have stopped coming.
    double hz(int64_t now_us) const;
    // The time from one frame to the next in ms; -1 when hz is 0.
    double cycle_ms(int64_t now_us) const;

private:
    std::deque<std::pair<int64_t, uint64_t>> points_;  // (µs, frames to card), one per new count
};

}  // namespace vek::panel
