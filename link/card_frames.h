// The card's two frames. Driver to card, 7 bytes: 02, outputs 1-8, outputs 9-16, analog out 1,
// analog out 2, 03, checksum. Card to driver, 9 bytes: 12, inputs 1-8, inputs 9-16 (active low),
// analog in 1 and 2 (raw, low byte first), 13, checksum. The checksum makes the 8-bit sum of the
// whole frame 0x01.
#pragma once

#include <array>
#include <cstdint>

#include "link/serial_port.h"  // wire_time_us

constexpr int32_t FRAME_OK = 0;
constexpr int32_t FRAME_NOT_READY = -1;
constexpr int32_t FRAME_BAD_END = -3;
constexpr int32_t FRAME_BAD_SUM = -4;

constexpr uint8_t kOutputStart = 0x02;
constexpr uint8_t kOutputEnd = 0x03;
constexpr uint8_t kInputStart = 0x12;
constexpr uint8_t kInputEnd = 0x13;

using OutputFrame = std::array<uint8_t, 7>;
using InputFrame = std::array<uint8_t, 9>;

// An output frame and its answer, back to back on the wire: no answer to a frame can be complete
// sooner after the frame's first byte was sent.
constexpr uint64_t kExchangeWireUs = wire_time_us(std::tuple_size<OutputFrame>::value + std::tuple_size<InputFrame>::value);

OutputFrame build_output_frame(uint8_t digital_out_0, uint8_t digital_out_1, uint8_t analog_out_0,
                               uint8_t analog_out_1);

// FRAME_OK, FRAME_BAD_END or FRAME_BAD_SUM for a frame that starts with 0x12. The checksum rule
// leaves the end byte out of the sum: (0x12 + bytes 1 to 6 + checksum) mod 256 == 0xEE.
int32_t check_input_frame(const InputFrame& frame);

// raw × 5.0 / 1023.0 in double precision; values above 1023 are not clipped.
float volts_from_raw(uint16_t raw);

// Sends the image's four output bytes as they are now, then waits until they have left: the
// frame's wire time has passed and the output queue is empty, or a bound of a few frame times,
// or at once when the port is gone. One sender writes at a time, and only once the frame before
// has left the wire, so frames from the poll thread and the host's thread never interleave.
// Returns 0; a failed write is not reported.
int32_t send_output_frame();

// The same send for a caller that has its own wait to make while the frame is on the wire (the
// poll thread, whose delay follows): returns once the frame is written, with the time it will
// have left the wire (monotonic_us). The caller waits until then, and confirm_output_sent then
// waits, bounded, for the output queue to be empty.
uint64_t start_output_frame();
void confirm_output_sent(uint64_t on_wire_until);

// Waits until a whole input frame's worth of bytes is queued (see wait_for_bytes): 1 then, 0 once
// about bound_us has passed, -1 at once when the port is closed or gone.
int32_t wait_for_input_frame(uint64_t bound_us);

// Hunts the input queue for 0x12 and reads the 9-byte frame behind it. Returns FRAME_NOT_READY
// when fewer than 9 bytes are queued (bytes skipped so far are gone), FRAME_BAD_END or
// FRAME_BAD_SUM for a corrupt frame (its bytes are gone, the image is not touched), or FRAME_OK
// with the inputs and the scaled voltages stored in the image.
int32_t receive_input_frame();
