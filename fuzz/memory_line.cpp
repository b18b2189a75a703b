#include "fuzz/memory_line.h"

#include <algorithm>

namespace vek {

PortResult MemoryLine::queue_counts(QueueCounts& counts) {
    counts.in_queue = static_cast<uint32_t>(std::min<std::size_t>(bytes_.size() - read_at_, UINT32_MAX));
    counts.out_queue = 0;
    return PortResult::ok;
}

PortResult MemoryLine::input_count(uint32_t& count) {
    QueueCounts counts{};
    queue_counts(counts);
    count = counts.in_queue;
    return PortResult::ok;
}

PortResult MemoryLine::read_queued(uint8_t* into, std::size_t room, std::size_t& got) {
    got = 0;
    if (read_at_ == bytes_.size()) {
        ++reads_past_;
        return PortResult::nothing_yet;
    }
    if (room == 0) return PortResult::ok;
    into[0] = bytes_[read_at_++];
    got = 1;
    return PortResult::ok;
}

// Nothing more arrives while the hunt runs: the wait answers from what is queued, at once.
PortResult MemoryLine::wait_for_bytes(uint32_t missing, uint64_t, const PortWake&, uint8_t*, std::size_t,
                                      std::size_t& got) {
    got = 0;
    uint32_t queued = 0;
    input_count(queued);
    return queued >= missing ? PortResult::ok : PortResult::nothing_yet;
}

}  // namespace vek
