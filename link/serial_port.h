// The serial line to the card: COMn at 115200 baud, 8N1, no flow control. One SerialPort serves
// every driver instance, and opening a port always closes the one opened before.
//
// Threads: the host's thread (discovery, reset) and a poll thread may call these at the same
// time. Each call holds the port's lock only for its own few system calls, so a close can never
// pull the handle from under a read. Keeping whole frames apart is the frame layer's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/read_ahead.h"
#include "link/serial_backend.h"

namespace vek {

// Wire time at 115200 baud, 8N1: ten bits a byte.
constexpr uint64_t kByteWireTimeNs = 86806;
constexpr uint64_t wire_time_us(uint64_t bytes) { return (bytes * kByteWireTimeNs + 999U) / 1000U; }

// The scan covers COM1 to COM127; a port the user names may be any of COM1 to COM255.
constexpr uint32_t kFirstPort = 1;
constexpr uint32_t kLastPort = 127;
constexpr uint32_t kHighestNamedPort = 255;

enum class RtsState { not_asserted, asserted };

class SerialPort {
public:
    explicit SerialPort(std::unique_ptr<SerialBackend> backend);
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // ok with COMn open and configured; busy when another user holds it (Windows only: it may
    // be free soon); failed when it is absent or refuses the line settings (the port then stays
    // closed). Whatever was open before is closed first.
    PortResult open_port(uint32_t n);

    // Closes the port. Safe at any time.
    void close_port();

    // Called when a scan's opens are done (the open port, if any, stays open): on Windows the
    // thread that makes the opens ends here. Safe at any time.
    void end_scan();

    // The number of the open port, 0 when none is open.
    uint32_t open_port_number();

    // Both queue counts, and a pending line error cleared so that reads and writes go on. Every
    // result but ok means the port is closed or gone: callers end their waits.
    PortResult read_queue_status(QueueCounts& counts);

    // The bytes received and not yet read, as read_queue_status counts them.
    PortResult input_queued(uint32_t& count);

    // One queued byte: ok with `byte` set, nothing_yet when none is queued. Never waits for one.
    PortResult read_byte(uint8_t& byte);

    // The next `count` queued bytes (at most ReadAhead::kCapacity), copied and left queued: ok
    // when all of them are, nothing_yet when fewer are queued. Never waits for one. A frame is
    // looked at whole this way before any of it is taken, so a frame that is refused gives up only
    // its first byte (drop_bytes).
    PortResult peek_bytes(uint8_t* into, std::size_t count);

    // Takes `count` bytes that a peek has shown.
    void drop_bytes(std::size_t count);

    // Waits until at least `count` bytes are queued, ending as soon as they are: ok then,
    // nothing_yet once about bound_us has passed or `wake` was raised, closed or lost at once,
    // failed at once after a read that failed (the queue count alone would have the caller read
    // again and again). The wait is on the port itself, not a blind pause: on Linux poll() for
    // the first byte, then the missing bytes' wire time; on Windows an overlapped read of the
    // missing bytes, waited for together with the wake's event. The port's lock is held
    // meanwhile, so a write from another thread may wait that long.
    PortResult wait_for_bytes(uint32_t count, uint64_t bound_us, const PortWake& wake = PortWake{});

    // Writes the whole buffer; failed when the port does not take the bytes within a bound. A
    // failure is for the caller to ignore or not.
    PortResult write_bytes(const uint8_t* data, std::size_t size);

    // The same write without the lock, for the module's unload hook only: at process exit the
    // other threads are already gone and one may have died holding the lock. Nothing else may use
    // the port meanwhile. closed when no port is open or it is known lost.
    PortResult write_bytes_unguarded(const uint8_t* data, std::size_t size);

    // Raise RTS or DTR on the open port. Results are not checked: virtual ports have no modem lines.
    void assert_rts();
    void assert_dtr();

    // asserted once RTS has been raised on the current port.
    RtsState rts_state();

    // True once a call has found the port gone (unplugged, removed); cleared by the next open.
    bool port_lost();

    // The number of the port a call found gone, as it was at that moment; 0 when the port is not
    // lost. A reconnect takes it once, here, and reopens that port alone: whatever opens later
    // (another instance's scan) cannot change which port it goes after.
    uint32_t lost_port();

    // Closes the port if it is still the one lost as `n`; false (nothing closed) when something
    // has opened another port since.
    bool close_lost_port(uint32_t n);

    // Why the port was found gone, in the system's words (for the trace).
    void describe_loss(char* text, std::size_t room);

private:
    // Runs `call` on the open port under the lock, and remembers a port found gone.
    template <typename Call>
    PortResult on_open_port(Call call);

    std::mutex lock_;
    std::unique_ptr<SerialBackend> backend_;
    ReadAhead read_ahead_;
    uint32_t number_ = 0;  // 0: closed
    RtsState rts_state_ = RtsState::not_asserted;
    bool lost_ = false;
    uint32_t lost_number_ = 0;  // the port open when lost_ was set
    bool read_failed_ = false;  // the last read from the system failed: the next wait says so
};

}  // namespace vek
