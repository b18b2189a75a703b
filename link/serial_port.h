// The module-wide serial line to the card: COMn at 115200 baud, 8N1, no flow control. All driver
// instances share it, and opening a port always closes the one opened before.
//
// Threads: the host's thread (discovery, reset) and a poll thread may call these at the same
// time. Each call holds the port's lock only for its own few system calls, so a close can never
// pull the handle from under a read. Keeping whole frames apart is the frame layer's job.
#pragma once

#include <cstddef>
#include <cstdint>

// Wire time at 115200 baud, 8N1: ten bits a byte.
constexpr uint64_t kByteWireTimeNs = 86806;
constexpr uint64_t wire_time_us(uint64_t bytes) { return (bytes * kByteWireTimeNs + 999U) / 1000U; }

constexpr uint32_t kFirstPort = 1;
constexpr uint32_t kLastPort = 127;

// 0 with COMn open and configured, -1 when it is absent, busy or refuses the line settings (the
// port then stays closed). Whatever was open before is closed first.
int32_t open_port(uint32_t n);

// Closes the port and stops its watch thread. Safe at any time.
void close_port();

// The number of the open port, 0 when none is open.
uint32_t open_port_number();

struct QueueCounts {
    uint32_t in_queue;   // bytes received and not yet read
    uint32_t out_queue;  // bytes written and not yet sent
};

// Reads both queue counts, and clears a pending line error so that reads and writes go on.
// False when the port is closed or the query failed (the port is gone): callers end their waits.
bool read_queue_status(QueueCounts* counts);

// The bytes received and not yet read, as read_queue_status counts them; -1 when the port is
// closed or the query failed (the port is gone).
int32_t input_queued();

// One queued byte, 0 to 255; -1 when nothing is queued or the read delivered nothing. Never waits
// for a byte to arrive.
int32_t read_byte();

// Waits until at least `count` bytes are queued, ending as soon as they are: 1 then, 0 once about
// bound_us has passed, -1 at once when the port is closed or gone. The wait is on the port
// itself, not a blind pause: on Linux poll() for the first byte, then the missing bytes' wire
// time; on Windows a read of the missing bytes with the port's 1 ms read timeout. The port's
// lock is held meanwhile, so a write from another thread may wait that long.
int32_t wait_for_bytes(uint32_t count, uint64_t bound_us);

// Writes the whole buffer. False when the port is closed, gone, or does not take the bytes within
// a bound. A failure is for the caller to ignore or not.
bool write_bytes(const uint8_t* data, std::size_t size);

// Raise RTS or DTR. Results are not checked: virtual ports have no modem lines.
void assert_rts();
void assert_dtr();

// 1 once RTS has been asserted on the current port, 2 until then.
int32_t rts_state();

// True once a call has found the port gone (unplugged, removed); cleared by the next open.
bool port_lost();
