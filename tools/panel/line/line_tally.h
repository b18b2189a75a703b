// What the line did, counted the same way whether the panel sees the bytes itself (the line
// monitor) or reads them from the driver's trace: frames out, answers back, corrupt answers by
// kind, stray bytes, and answers that came too late to be taken for their own frame.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

namespace vek::panel {

struct LineCounts {
    uint64_t frames_to_card = 0;      // valid output frames from the driver
    uint64_t bad_frames_to_card = 0;
    uint64_t answers = 0;             // valid input frames from the card
    uint64_t bad_answers = 0;         // bad_sums + bad_ends
    uint64_t bad_sums = 0;            // an answer whose byte sum is wrong
    uint64_t bad_ends = 0;            // an answer whose end byte is wrong
    uint64_t stray_bytes = 0;         // from the card, outside any frame
    uint64_t stray_to_card = 0;       // from the driver's side, outside any frame
    uint64_t late_answers = 0;        // valid, but later than the driver's answer window
    uint64_t dropped_bytes = 0;       // a side that took nothing for 100 ms
    uint64_t unanswered = 0;          // frames the card never answered, valid or corrupt
    int64_t last_answer_us = -1;      // monotonic time of the newest valid answer; -1: none yet
    int64_t last_bad_us = -1;         // of the newest corrupt answer
    int64_t unanswered_since_us = -1; // when the first frame after the newest answer went out; -1: none
    int64_t last_frame_us = -1;       // when the newest valid output frame went out; -1: none yet
    int64_t last_late_us = -1;        // when the newest late answer came
    int64_t last_late_latency_us = -1;   // how long after its frame it came
    // Corrupt answers since the newest valid one: what a spell of corruption has shown so far.
    uint64_t bad_sums_since_answer = 0;
    uint64_t bad_ends_since_answer = 0;
    std::array<uint8_t, 7> last_frame{};  // the newest valid output frame (all zero before one)
    std::array<uint8_t, 9> last_answer{}; // the newest valid answer (all zero before one)
    std::array<uint8_t, 9> last_bad_answer{};  // the newest corrupt answer, where its bytes are seen
    bool has_bad_answer = false;      // last_bad_answer holds one
    int64_t answer_time_us = -1;      // how long after its frame the newest valid answer came
    int64_t longest_answer_us = -1;   // the longest such time so far
    bool card_connected = false;      // false while the card's device is gone
    bool link_taken = false;          // another program took the port link's name: left alone
};

// The driver waits this long for an answer; one that takes longer is late.
constexpr int64_t kAnswerWindowUs = 200000;

// Every source stamps an answer as it came off the wire (the monitor and the tap as they pass it
// on, the driver's trace as the driver takes it), so one rule serves them all, whatever the delay.
// A card answers frames in order, so an answer belongs to the oldest frame still waiting for
// one, however late it comes; after a silence, one that comes at once after the newest frame is
// that frame's own (a card back), and nothing older waits any more.
class LineTally {
public:
    void frame(int64_t at_us, const uint8_t* bytes);
    // How long after its frame the answer came (-1: it answers none); `bytes`, when given, are
    // the answer's 9.
    int64_t answer(int64_t at_us, const uint8_t* bytes = nullptr);
    void bad_sum(int64_t at_us);
    void bad_end(int64_t at_us);
    // A new line (reopened device, restarted driver): nothing before it is waiting for an answer.
    void new_line();
    // Every counter and the longest answer time start again from zero, as do the newest corrupt
    // answer; what the line is doing now (the newest frames and their times) stays.
    void reset_counts();

    LineCounts& counts() { return counts_; }
    const LineCounts& counts() const { return counts_; }

private:
    // How long after its frame an answer, valid or not, came; -1 when it answers none.
    int64_t match(int64_t at_us);
    void corrupt(int64_t at_us);

    LineCounts counts_;
    std::deque<int64_t> waiting_;  // when each frame not yet answered went out, oldest first
    int64_t last_heard_us_ = -1;   // the newest answer, valid or corrupt
};

}  // namespace vek::panel
