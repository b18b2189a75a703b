// The card's line: the serial port, and the card's frames that go over it, one sender at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "link/card_frames.h"
#include "link/serial_port.h"
#include "support/trace.h"

namespace vek {

// A look for an answer: the inputs are set only when it is ok.
struct ReceivedInputs {
    FrameResult result;
    CardInputs inputs;
};

// The card's line: the port, and the frames that go over it.
class CardLink {
public:
    // `trace` is where bad frames, stray bytes and (with trace_frames) every frame go; it must
    // outlive the link. Whether it is open is checked at each use.
    CardLink(std::unique_ptr<SerialBackend> backend, Trace& trace) : port_(std::move(backend)), trace_(trace) {}

    SerialPort& port() { return port_; }
    Trace& trace() const { return trace_; }

    // Sends the outputs, then waits until they have left: the frame's wire time has passed and
    // the output queue is empty, or a bound of a few frame times, or at once when the port is
    // gone. One sender writes at a time, and only once the frame before has left the wire, so
    // frames from the poll thread and the host's thread never interleave. False when the port
    // did not take the frame; a cycle need not care, the next one sends again.
    bool send_output_frame(const CardOutputs& outputs);

    // The same send for a caller that has its own wait to make while the frame is on the wire
    // (the poll thread, whose delay follows): returns once the frame is written, with the time it
    // will have left the wire (monotonic_us). The caller waits until then, and
    // confirm_output_sent then waits, bounded, for the output queue to be empty.
    uint64_t start_output_frame(const CardOutputs& outputs);
    void confirm_output_sent(uint64_t on_wire_until);

    // Waits until a whole input frame's worth of bytes is queued, at most bound_us, or until
    // `wake` is raised (see SerialPort::wait_for_bytes).
    PortResult wait_for_input_frame(uint64_t bound_us, const PortWake& wake = PortWake{});

    // Hunts the input queue for 0x12 and looks at the 9 bytes from there. not_ready when fewer than
    // 9 bytes are queued from the next 0x12 or a read fails (bytes skipped so far are gone),
    // bad_end or bad_sum for a corrupt frame (only its start byte is gone: the next hunt begins at
    // the byte after it), or ok with the inputs decoded and the frame's bytes taken.
    ReceivedInputs receive_input_frame();

private:
    uint64_t write_when_line_free(const OutputFrame& frame);
    void wait_until_queue_empty(uint64_t on_wire_until);

    SerialPort port_;
    Trace& trace_;
    std::mutex send_lock_;       // one sender at a time
    uint64_t line_free_at_ = 0;  // monotonic_us when the last frame written has left the wire
    bool last_written_ = false;  // whether the port took the last frame, under send_lock_
};

}  // namespace vek
