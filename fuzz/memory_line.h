// An in-memory serial line for the fuzz targets. It plugs into the serial layer in place of the
// platform's backend, so the driver's own port and frame code run unchanged on top of it:
// whatever the harness delivers is what the port has received from the card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/serial_backend.h"

namespace vek {

// A port that always opens, a queue that holds what was delivered, writes that are taken whole
// and go nowhere. It hands out one byte per read, so that the serial layer's read-ahead fills a
// byte at a time and every way of holding part of a frame is tried.
class MemoryLine final : public SerialBackend {
public:
    // Bytes that have arrived from the card, queued behind the ones before them.
    void deliver(const uint8_t* bytes, std::size_t size) { bytes_.insert(bytes_.end(), bytes, bytes + size); }

    // Everything delivered so far, in order, and how much of it the driver has read.
    const std::vector<uint8_t>& stream() const { return bytes_; }
    std::size_t consumed() const { return read_at_; }

    // Reads the driver made of a byte that was not there: each one is a read past the queue.
    std::size_t reads_past_queue() const { return reads_past_; }

    PortResult open(uint32_t) override { return PortResult::ok; }
    void close() override {}
    PortResult queue_counts(QueueCounts& counts) override;
    PortResult input_count(uint32_t& count) override;
    PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) override;
    PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                              std::size_t room, std::size_t& got) override;
    PortResult write_all(const uint8_t*, std::size_t) override { return PortResult::ok; }
    void set_rts() override {}
    void set_dtr() override {}

private:
    std::vector<uint8_t> bytes_;
    std::size_t read_at_ = 0;
    std::size_t reads_past_ = 0;
};

}  // namespace vek
