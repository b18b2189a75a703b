// The seam between the shared serial layer (serial_port.cpp) and one platform's system calls: a
// table of the few operations a line needs, chosen when the port is made, so that a test line or
// the fuzz targets' in-memory line plugs in at run time in place of the platform's. The shared
// layer holds the lock, the port's bookkeeping and the read-ahead buffer; a backend only talks to
// the system, and reads into the caller's buffer only what the system already holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "link/port_wake.h"

namespace vek {

// What one call on the line did.
enum class PortResult {
    ok,
    nothing_yet,  // nothing queued, or a wait's bound passed first
    failed,       // the call failed, the port may still work (refused to open, a write not taken)
    busy,         // open only: the port exists but another user holds it; it may be free soon
    closed,       // no port is open
    lost,         // the port is gone (unplugged, removed) until the next open
};

struct QueueCounts {
    uint32_t in_queue;   // bytes received and not yet read
    uint32_t out_queue;  // bytes written and not yet sent
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // ok with COMn open and configured for the card's line, busy when another user holds it,
    // failed otherwise (then closed).
    virtual PortResult open(uint32_t n) = 0;
    virtual void close() = 0;
    // The system's own counts, not what the shared layer holds; also clears a pending line error.
    virtual PortResult queue_counts(QueueCounts& counts) = 0;
    // The input count alone: one system call fewer where the output count costs one of its own.
    virtual PortResult input_count(uint32_t& count) = 0;
    // Up to `room` bytes the system holds, into `into`; never waits for one to arrive. nothing_yet
    // when none is queued.
    virtual PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) = 0;
    // Waits on the port itself, for about bound_us at most, until `missing` more bytes are queued:
    // ok when they are, nothing_yet when the bound passed first or `wake` was raised. A backend
    // whose wait is a read puts the bytes it took into `into` (at most `room`) and counts them in
    // `got`, whatever ended the wait.
    virtual PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                                      std::size_t room, std::size_t& got) = 0;
    // The whole buffer, or failed when the port does not take it within a bound.
    virtual PortResult write_all(const uint8_t* data, std::size_t size) = 0;
    // As write_all, at the process's exit: with nothing allocated and no lock taken, since the
    // threads killed before it may have held the heap's.
    virtual PortResult write_at_exit(const uint8_t* data, std::size_t size) { return write_all(data, size); }
    // Results are not checked: virtual ports have no modem lines.
    virtual void set_rts() = 0;
    virtual void set_dtr() = 0;
    // A run of opens (a scan) is over: a backend that keeps a helper for opens lets it go here,
    // so that no thread outlives the scan. Most keep none.
    virtual void end_scan() {}
    // Why the port was last found gone, in the system's words, for the trace. Never allocates.
    virtual void describe_loss(char* text, std::size_t room) const;
};

// The platform's own backend (termios, or Win32 overlapped I/O), one per port; null when there
// was no memory for it.
std::unique_ptr<SerialBackend> make_platform_backend();

}  // namespace vek
