// The card's two frames. Driver to card, 7 bytes: 02, outputs 1-8, outputs 9-16, analog out 1,
// analog out 2, 03, checksum. Card to driver, 9 bytes: 12, inputs 1-8, inputs 9-16 (active low),
// analog in 1 and 2 (raw, low byte first), 13, checksum. The checksum makes the 8-bit sum of the
// whole frame 0x01.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "link/serial_port.h"
#include "link/trace.h"

namespace vek {

// What a look for the card's answer found.
enum FrameResult : int32_t {
    FRAME_OK = 0,
    FRAME_NOT_READY = -1,  // fewer than 9 bytes queued
    FRAME_BAD_END = -3,
    FRAME_BAD_SUM = -4,
};

constexpr uint8_t kOutputStart = 0x02;
constexpr uint8_t kOutputEnd = 0x03;
constexpr uint8_t kInputStart = 0x12;
constexpr uint8_t kInputEnd = 0x13;

using OutputFrame = std::array<uint8_t, 7>;
using InputFrame = std::array<uint8_t, 9>;

// What an output frame carries.
struct CardOutputs {
    uint8_t digital[2];  // bit k = output k + 1 of the group, 1 = on
    uint8_t analog[2];   // 0 to 255
};

// What an input frame carries, decoded.
struct CardInputs {
    uint8_t digital[2];  // as received: bit k = input k + 1 of the group, active low
    float analog[2];     // volts
};

// A look for an answer: the inputs are set only with FRAME_OK.
struct ReceivedInputs {
    FrameResult result;
    CardInputs inputs;
};

// An output frame and its answer, back to back on the wire: no answer to a frame can be complete
// sooner after the frame's first byte was sent.
constexpr uint64_t kExchangeWireUs = wire_time_us(std::tuple_size<OutputFrame>::value + std::tuple_size<InputFrame>::value);

OutputFrame build_output_frame(uint8_t digital_out_0, uint8_t digital_out_1, uint8_t analog_out_0,
                               uint8_t analog_out_1);

// FRAME_OK, FRAME_BAD_END or FRAME_BAD_SUM for a frame that starts with 0x12. The checksum rule
// leaves the end byte out of the sum: (0x12 + bytes 1 to 6 + checksum) mod 256 == 0xEE.
FrameResult check_input_frame(const InputFrame& frame);

// raw × 5.0 / 1023.0 in double precision; values above 1023 are not clipped.
float volts_from_raw(uint16_t raw);

// The card's line: the port, and the frames that go over it.
class CardLink {
public:
    explicit CardLink(std::unique_ptr<SerialBackend> backend) : port_(std::move(backend)) {}

    SerialPort& port() { return port_; }

    // The trace that bad frames, stray bytes and (with trace_frames) every frame go to. Set once,
    // before any thread uses the link; null: none. Whether it is open is checked at each use.
    void set_trace(Trace* trace) { trace_ = trace; }
    Trace* trace() const { return trace_; }

    // Sends the outputs, then waits until they have left: the frame's wire time has passed and
    // the output queue is empty, or a bound of a few frame times, or at once when the port is
    // gone. One sender writes at a time, and only once the frame before has left the wire, so
    // frames from the poll thread and the host's thread never interleave. A failed write is not
    // reported: the next cycle sends again.
    void send_output_frame(const CardOutputs& outputs);

    // The same send for a caller that has its own wait to make while the frame is on the wire
    // (the poll thread, whose delay follows): returns once the frame is written, with the time it
    // will have left the wire (monotonic_us). The caller waits until then, and
    // confirm_output_sent then waits, bounded, for the output queue to be empty.
    uint64_t start_output_frame(const CardOutputs& outputs);
    void confirm_output_sent(uint64_t on_wire_until);

    // Waits until a whole input frame's worth of bytes is queued, at most bound_us, or until
    // `wake` is raised (see SerialPort::wait_for_bytes).
    PortResult wait_for_input_frame(uint64_t bound_us, const PortWake& wake = PortWake{});

    // Hunts the input queue for 0x12 and reads the 9-byte frame behind it. FRAME_NOT_READY when
    // fewer than 9 bytes are queued or a read fails (bytes skipped so far are gone), FRAME_BAD_END or
    // FRAME_BAD_SUM for a corrupt frame (its bytes are gone), or FRAME_OK with the inputs decoded.
    ReceivedInputs receive_input_frame();

private:
    uint64_t write_when_line_free(const OutputFrame& frame);
    void wait_until_queue_empty(uint64_t on_wire_until);

    SerialPort port_;
    Trace* trace_ = nullptr;
    std::mutex send_lock_;       // one sender at a time
    uint64_t line_free_at_ = 0;  // monotonic_us when the last frame written has left the wire
};

}  // namespace vek
