// One thing the line monitor saw pass, stamped as it passed. The monitor's relay only queues
// these; the records are written from the panel's own thread, so a slow file never holds a byte.
#pragma once

#include <array>
#include <cstdint>

namespace vek::panel {

struct LineEvent {
    enum class Kind : uint8_t {
        frame,       // a valid frame
        bad_frame,   // a frame with a wrong end byte or checksum
        stray,       // bytes outside any frame
        line_lost,   // the card's device has gone
        line_back,   // the card's device is open again
    };
    static constexpr std::size_t kShownBytes = 32;

    Kind kind = Kind::frame;
    bool to_card = false;                 // the host's side sent it
    int64_t wall_us = 0;                  // system clock, µs since 1970
    uint32_t size = 0;                    // bytes in all; at most kShownBytes are kept
    std::array<uint8_t, kShownBytes> bytes{};
    int64_t answer_us = -1;               // a valid answer: since the frame it answers went out
};

}  // namespace vek::panel
