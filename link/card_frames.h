// The card's two frames. Driver to card, 7 bytes: 02, outputs 1-8, outputs 9-16, analog out 1,
// analog out 2, 03, checksum. Card to driver, 9 bytes: 12, inputs 1-8, inputs 9-16 (active low),
// analog in 1 and 2 (raw, low byte first), 13, checksum. The checksum makes the 8-bit sum of the
// whole frame 0x01.
#pragma once

#include <array>
#include <cstdint>

#include "link/serial_port.h"

namespace vek {

// What a look for the card's answer found.
enum class FrameResult : int32_t {
    ok = 0,
    not_ready = -1,  // fewer than 9 bytes queued
    bad_end = -3,
    bad_sum = -4,
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

// An output frame and its answer, back to back on the wire: no answer to a frame can be complete
// sooner after the frame's first byte was sent.
constexpr uint64_t kExchangeWireUs = wire_time_us(std::tuple_size<OutputFrame>::value + std::tuple_size<InputFrame>::value);

OutputFrame build_output_frame(uint8_t digital_out_0, uint8_t digital_out_1, uint8_t analog_out_0,
                               uint8_t analog_out_1);

// ok, bad_end or bad_sum for a frame that starts with 0x12. The checksum rule leaves the end
// byte out of the sum: (0x12 + bytes 1 to 6 + checksum) mod 256 == 0xEE.
FrameResult check_input_frame(const InputFrame& frame);

// raw × 5.0 / 1023.0 in double precision; values above 1023 are not clipped.
float volts_from_raw(uint16_t raw);

}  // namespace vek
