#include "panel/line/frame_watch.h"

#include <algorithm>
#include <cstdio>

namespace vek::panel {

FrameWatch::FrameWatch(uint8_t start, uint8_t end, std::size_t size) : start_(start), end_(end), size_(size) {
    pending_.reserve(size);
}

Watched FrameWatch::feed(uint8_t byte) {
    if (pending_.empty() && byte != start_) {
        ++stray_;
        return Watched::stray;
    }
    pending_.push_back(byte);
    if (pending_.size() < size_) return Watched::nothing;

    uint8_t sum = 0;
    for (uint8_t b : pending_) sum = static_cast<uint8_t>(sum + b);
    const bool end_right = pending_[size_ - 2] == end_;
    if (end_right && sum == 0x01) {
        last_valid_ = pending_;
        pending_.clear();
        return Watched::valid;
    }
    last_invalid_ = pending_;
    // A corrupt frame may hide the start of the next one: hunt again from its second byte. The
    // bytes passed over are the corrupt frame's, counted as such, not as stray.
    const auto next = std::find(pending_.begin() + 1, pending_.end(), start_);
    pending_.erase(pending_.begin(), next);
    return end_right ? Watched::bad_sum : Watched::bad_end;
}

std::string frame_text(const uint8_t* bytes, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        out += hex;
    }
    return out;
}

}  // namespace vek::panel
