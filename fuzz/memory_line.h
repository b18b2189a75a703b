// An in-memory serial line for the fuzz targets. It stands in for serial_port_posix.cpp behind
// link/serial_backend.h, so the driver's own serial layer and frame code run unchanged on top of
// it: whatever the harness delivers is what the port has received from the card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace memory_line {

// An empty line: nothing delivered, nothing read.
void reset();

// Bytes that have arrived from the card, queued behind the ones before them.
void deliver(const uint8_t* bytes, std::size_t size);

// Everything delivered so far, in order, and how much of it the driver has read.
const std::vector<uint8_t>& stream();
std::size_t consumed();

// Reads the driver made of a byte that was not there: each one is a read past the queue.
std::size_t reads_past_queue();

}  // namespace memory_line
