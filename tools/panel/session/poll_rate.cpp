#include "panel/session/poll_rate.h"

namespace vek::panel {

namespace {

// The rate is measured over at least this much of the newest history.
constexpr int64_t kRateWindowUs = 1000000;

}  // namespace

void PollRate::sample(int64_t at_us, uint64_t frames) {
    samples_.emplace_back(at_us, frames);
    while (samples_.size() > 2 && samples_.back().first - samples_[1].first >= kRateWindowUs) samples_.pop_front();
}

double PollRate::hz() const {
    if (samples_.size() < 2) return 0.0;
    const auto& first = samples_.front();
    const auto& last = samples_.back();
    const int64_t span = last.first - first.first;
    if (span <= 0) return 0.0;
    return static_cast<double>(last.second - first.second) * 1e6 / static_cast<double>(span);
}

}  // namespace vek::panel
