#include "fuzz/memory_line.h"

#include <algorithm>

#include "link/serial_backend.h"

namespace {

struct Line {
    std::vector<uint8_t> bytes;
    std::size_t read_at = 0;
    std::size_t reads_past = 0;
};

Line& line() {
    static Line state;
    return state;
}

}  // namespace

namespace memory_line {

void reset() { line() = Line{}; }

void deliver(const uint8_t* bytes, std::size_t size) { line().bytes.insert(line().bytes.end(), bytes, bytes + size); }

const std::vector<uint8_t>& stream() { return line().bytes; }

std::size_t consumed() { return line().read_at; }

std::size_t reads_past_queue() { return line().reads_past; }

}  // namespace memory_line

// The backend: a port that always opens, a queue that holds what was delivered, writes that are
// taken whole and go nowhere.
namespace serial_backend {

bool open(uint32_t) { return true; }

void close() {}

bool queue_status(QueueCounts* counts, bool* lost) {
    const Line& l = line();
    counts->in_queue = static_cast<uint32_t>(std::min<std::size_t>(l.bytes.size() - l.read_at, UINT32_MAX));
    counts->out_queue = 0;
    *lost = false;
    return true;
}

bool input_queue(uint32_t* count, bool* lost) {
    QueueCounts counts{};
    queue_status(&counts, lost);
    *count = counts.in_queue;
    return true;
}

// Nothing more arrives while the hunt runs: the wait answers from what is queued, at once.
int wait_readable(uint32_t count, uint64_t, bool* lost) {
    uint32_t queued = 0;
    input_queue(&queued, lost);
    return queued >= count ? 1 : 0;
}

int read_one(uint8_t* byte, bool* lost) {
    Line& l = line();
    *lost = false;
    if (l.read_at == l.bytes.size()) {
        ++l.reads_past;
        return 0;
    }
    *byte = l.bytes[l.read_at++];
    return 1;
}

bool write_all(const uint8_t*, std::size_t, bool* lost) {
    *lost = false;
    return true;
}

void set_rts() {}

void set_dtr() {}

}  // namespace serial_backend
