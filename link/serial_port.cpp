#include <mutex>

#include "link/serial_backend.h"
#include "link/serial_port.h"

namespace {

struct PortState {
    std::mutex lock;
    uint32_t number = 0;  // 0: closed
    int32_t rts_state = 2;
    bool lost = false;
};

PortState& port() {
    static PortState state;
    return state;
}

}  // namespace

int32_t open_port(uint32_t n) {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    p.rts_state = 2;
    p.lost = false;
    serial_backend::close();
    p.number = 0;
    if (n < kFirstPort || n > kLastPort || !serial_backend::open(n)) return -1;
    p.number = n;
    return 0;
}

void close_port() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    serial_backend::close();
    p.number = 0;
}

uint32_t open_port_number() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.number;
}

bool read_queue_status(QueueCounts* counts) {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    *counts = QueueCounts{};
    if (p.number == 0 || p.lost) return false;
    bool lost = false;
    const bool ok = serial_backend::queue_status(counts, &lost);
    p.lost = p.lost || lost || !ok;  // a status query that fails means the port is gone
    return ok;
}

int32_t input_queued() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number == 0 || p.lost) return -1;
    uint32_t count = 0;
    bool lost = false;
    const bool ok = serial_backend::input_queue(&count, &lost);
    p.lost = p.lost || lost || !ok;
    return ok ? static_cast<int32_t>(count) : -1;
}

int32_t read_byte() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number == 0 || p.lost) return -1;
    uint8_t byte = 0;
    bool lost = false;
    const int got = serial_backend::read_one(&byte, &lost);
    p.lost = p.lost || lost;
    return got == 1 ? byte : -1;
}

int32_t wait_for_bytes(uint32_t count, uint64_t bound_us) {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number == 0 || p.lost) return -1;
    bool lost = false;
    const int got = serial_backend::wait_readable(count, bound_us, &lost);
    p.lost = p.lost || lost;
    return got;
}

bool write_bytes(const uint8_t* data, std::size_t size) {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number == 0 || p.lost) return false;
    bool lost = false;
    const bool ok = serial_backend::write_all(data, size, &lost);
    p.lost = p.lost || lost;
    return ok;
}

void assert_rts() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number == 0) return;
    serial_backend::set_rts();
    p.rts_state = 1;
}

void assert_dtr() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.number != 0) serial_backend::set_dtr();
}

int32_t rts_state() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.rts_state;
}

bool port_lost() {
    PortState& p = port();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.lost;
}
