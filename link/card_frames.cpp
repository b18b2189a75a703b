#include "link/card_frames.h"

namespace vek {

namespace {

uint8_t checksum_for(uint32_t sum_of_other_bytes) { return static_cast<uint8_t>(0x01U - sum_of_other_bytes); }

}  // namespace

OutputFrame build_output_frame(uint8_t digital_out_0, uint8_t digital_out_1, uint8_t analog_out_0,
                               uint8_t analog_out_1) {
    OutputFrame frame{kOutputStart, digital_out_0, digital_out_1, analog_out_0, analog_out_1, kOutputEnd, 0};
    uint32_t sum = 0;
    for (std::size_t i = 0; i < 6; ++i) sum += frame[i];
    frame[6] = checksum_for(sum);
    return frame;
}

FrameResult check_input_frame(const InputFrame& frame) {
    if (frame[7] != kInputEnd) return FrameResult::bad_end;
    uint32_t sum = kInputStart;
    for (std::size_t i = 1; i <= 6; ++i) sum += frame[i];
    sum += frame[8];
    return (sum & 0xFFU) == 0xEEU ? FrameResult::ok : FrameResult::bad_sum;
}

float volts_from_raw(uint16_t raw) { return static_cast<float>(static_cast<double>(raw) * 5.0 / 1023.0); }

}  // namespace vek
