// What the line did, counted the same way whether the panel sees the bytes itself (the line
// monitor) or reads them from the driver's trace: frames out, answers back, corrupt answers by
// kind, stray bytes, and answers that came too late to be taken for their own frame.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

struct LineCounts {
    uint64_t frames_to_card = 0;      // valid output frames from the driver
    uint64_t bad_frames_to_card = 0;
    uint64_t answers = 0;             // valid input frames from the card
    uint64_t bad_answers = 0;         // bad_sums + bad_ends
    uint64_t bad_sums = 0;            // an answer whose byte sum is wrong
    uint64_t bad_ends = 0;            // an answer whose end byte is wrong
    uint64_t stray_bytes = 0;         // from the card, outside any frame
    uint64_t late_answers = 0;        // valid, but later than the driver's answer window
    uint64_t dropped_bytes = 0;       // a side that took nothing for 100 ms
    int64_t last_answer_us = -1;      // monotonic time of the newest valid answer; -1: none yet
    int64_t last_bad_us = -1;         // of the newest corrupt answer
    int64_t unanswered_since_us = -1; // when the first frame after the newest answer went out; -1: none
    int64_t last_frame_us = -1;       // when the newest valid output frame went out; -1: none yet
    int64_t last_latency_us = -1;     // how long the newest answer took after its frame
    // Corrupt answers since the newest valid one: what a spell of corruption has shown so far.
    uint64_t bad_sums_since_answer = 0;
    uint64_t bad_ends_since_answer = 0;
    std::array<uint8_t, 7> last_frame{};  // the newest valid output frame (all zero before one)
    bool card_connected = false;      // false while the card's device is gone
};

// The driver waits this long for an answer; one that takes longer is late.
constexpr int64_t kAnswerWindowUs = 200000;

class LineTally {
public:
    void frame(int64_t at_us, const uint8_t* bytes);
    void answer(int64_t at_us);
    void bad_sum(int64_t at_us);
    void bad_end(int64_t at_us);
    // Any byte from the card: a long quiet before it tells that earlier frames went unanswered.
    void card_bytes(int64_t at_us);
    // A new line (reopened device, restarted driver): nothing before it is waiting for an answer.
    void new_line();

    LineCounts& counts() { return counts_; }
    const LineCounts& counts() const { return counts_; }

private:
    void corrupt(int64_t at_us);

    LineCounts counts_;
    // When each frame not yet answered went out. A card answers frames in order, so the oldest
    // is the one an answer belongs to, however late it comes.
    std::deque<int64_t> waiting_;
    int64_t last_card_byte_us_ = -1;
};
