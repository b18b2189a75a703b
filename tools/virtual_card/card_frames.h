// The card's two frames, and the hunt for output frames in the bytes the driver sends.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kOutputFrameSize = 7;
constexpr std::size_t kInputFrameSize = 9;
constexpr uint8_t kOutputStart = 0x02;
constexpr uint8_t kOutputEnd = 0x03;
constexpr uint8_t kInputStart = 0x12;
constexpr uint8_t kInputEnd = 0x13;
// Both frames carry a checksum that brings the 8-bit sum of the whole frame to this value.
constexpr uint8_t kFrameSum = 0x01;

uint8_t frame_sum(const uint8_t* bytes, std::size_t size);

// The first step of hunting through received bytes: what the front of the buffer holds, and how
// many bytes that step takes off it.
struct HuntStep {
    enum Kind { kNeedMore, kGarbage, kInvalid, kValid } kind;
    std::size_t consumed;
};

// Bytes before a start byte are garbage; a complete candidate that is not a valid frame loses only
// its start byte, so a real frame that begins inside it is still found.
HuntStep hunt_step(const uint8_t* bytes, std::size_t size);
