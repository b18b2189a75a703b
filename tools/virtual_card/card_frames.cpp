#include "card_frames.h"

#include "virtual_card.h"

uint8_t frame_sum(const uint8_t* bytes, std::size_t size) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

HuntStep hunt_step(const uint8_t* bytes, std::size_t size) {
    std::size_t skipped = 0;
    while (skipped < size && bytes[skipped] != kOutputStart) ++skipped;
    if (skipped > 0) return {HuntStep::kGarbage, skipped};
    if (size < kOutputFrameSize) return {HuntStep::kNeedMore, 0};
    const bool valid = bytes[5] == kOutputEnd && frame_sum(bytes, kOutputFrameSize) == kFrameSum;
    return valid ? HuntStep{HuntStep::kValid, kOutputFrameSize} : HuntStep{HuntStep::kInvalid, 1};
}

std::array<uint8_t, 9> card_input_frame(uint8_t in0, uint8_t in1, uint16_t analog1, uint16_t analog2) {
    std::array<uint8_t, 9> frame{kInputStart,
                                 in0,
                                 in1,
                                 static_cast<uint8_t>(analog1 & 0xFF),
                                 static_cast<uint8_t>(analog1 >> 8),
                                 static_cast<uint8_t>(analog2 & 0xFF),
                                 static_cast<uint8_t>(analog2 >> 8),
                                 kInputEnd,
                                 0};
    frame[8] = static_cast<uint8_t>(kFrameSum - frame_sum(frame.data(), 8));
    return frame;
}
