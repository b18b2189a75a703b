// Recognises the card's frames in a byte stream seen on the line, with the panel's own few lines
// of frame code: what the monitor counts must not lean on the driver it is watching.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vek::panel {

// A corrupt frame is told by what is wrong: its end byte first, else its byte sum. stray: the
// byte lay outside any frame.
enum class Watched { nothing, valid, bad_end, bad_sum, stray };

class FrameWatch {
public:
    // A frame is `size` bytes from `start`, with `end` second to last and a byte sum of 0x01.
    FrameWatch(uint8_t start, uint8_t end, std::size_t size);

    // What the byte completed; a byte outside any frame, before a start byte, is counted as stray.
    Watched feed(uint8_t byte);
    const std::vector<uint8_t>& last_valid() const { return last_valid_; }
    // The whole candidate that the newest bad_end or bad_sum refused, for telling what was wrong with it.
    const std::vector<uint8_t>& last_invalid() const { return last_invalid_; }
    uint64_t stray_bytes() const { return stray_; }

private:
    uint8_t start_;
    uint8_t end_;
    std::size_t size_;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> last_valid_;
    std::vector<uint8_t> last_invalid_;
    uint64_t stray_ = 0;
};

// The driver's output frame and the card's answer.
inline FrameWatch output_frame_watch() { return FrameWatch(0x02, 0x03, 7); }
inline FrameWatch input_frame_watch() { return FrameWatch(0x12, 0x13, 9); }

// "02 04 00 00 00 03 F8"
std::string frame_text(const uint8_t* bytes, std::size_t size);

}  // namespace vek::panel
