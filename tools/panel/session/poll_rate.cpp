#include "panel/session/poll_rate.h"

namespace vek::panel {

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;
// Frames that stop for two cycles and this long have no rate any more.
constexpr int64_t kStoppedSlackUs = 1000000;

}  // namespace

void PollRate::sample(int64_t frame_at_us, uint64_t frames) {
    if (frame_at_us < 0) return;
    // Counts set back (a reset): what came before tells nothing of the rate now.
    if (!points_.empty() && frames < points_.back().second) points_.clear();
    if (!points_.empty() && frames == points_.back().second) return;
    points_.emplace_back(frame_at_us, frames);
    while (points_.size() > 2 && points_.back().first - points_[1].first >= kRateWindowUs) points_.pop_front();
}

double PollRate::cycle_ms(int64_t now_us) const {
    if (points_.size() < 2) return -1.0;
    const auto& first = points_.front();
    const auto& last = points_.back();
    const int64_t span = last.first - first.first;
    if (span <= 0) return -1.0;
    const double cycle_us = static_cast<double>(span) / static_cast<double>(last.second - first.second);
    if (static_cast<double>(now_us - last.first) > 2.0 * cycle_us + kStoppedSlackUs) return -1.0;
    return cycle_us / 1000.0;
}

double PollRate::hz(int64_t now_us) const {
    const double cycle = cycle_ms(now_us);
    return cycle > 0.0 ? 1000.0 / cycle : 0.0;
}

}  // namespace vek::panel
