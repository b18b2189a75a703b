#include "panel/line/line_tally.h"

#include <algorithm>

namespace vek::panel {

namespace {

// An answer this soon after the newest frame is that frame's own: an answer takes under 1 ms on
// the wire at 115200 baud, and a card answers at once.
constexpr int64_t kOwnAnswerUs = 20000;
// No card holds an answer back longer than this (the virtual card keeps at most 8 waiting).
constexpr int64_t kForgetUs = 2000000;
constexpr std::size_t kMostWaiting = 64;
// A card that has sent nothing at all for this long was silent (or unplugged), not late: a late
// one answers about once a cycle.
constexpr int64_t kSilenceUs = 600000;

}  // namespace

void LineTally::frame(int64_t at_us, const uint8_t* bytes) {
    ++counts_.frames_to_card;
    if (counts_.unanswered_since_us < 0) counts_.unanswered_since_us = at_us;
    counts_.last_frame_us = at_us;
    if (bytes != nullptr) std::copy(bytes, bytes + counts_.last_frame.size(), counts_.last_frame.begin());
    // A frame is given up on when no card could still answer it: it went unanswered.
    while (!waiting_.empty() && (at_us - waiting_.front() > kForgetUs || waiting_.size() >= kMostWaiting)) {
        waiting_.pop_front();
        ++counts_.unanswered;
    }
    waiting_.push_back(at_us);
}

int64_t LineTally::match(int64_t at_us) {
    const bool after_silence = last_heard_us_ < 0 || at_us - last_heard_us_ > kSilenceUs;
    last_heard_us_ = at_us;
    if (waiting_.empty()) return -1;
    // Only after a silence: a card that answers late but steadily has answers land just after a
    // new frame too, and those belong to the oldest frame, as any other.
    if (after_silence && at_us - waiting_.back() <= kOwnAnswerUs) {
        const int64_t took = at_us - waiting_.back();
        counts_.unanswered += waiting_.size() - 1;  // the silence's frames, all but this one
        waiting_.clear();
        return took;
    }
    const int64_t took = at_us - waiting_.front();
    waiting_.pop_front();
    return took;
}

int64_t LineTally::answer(int64_t at_us, const uint8_t* bytes) {
    ++counts_.answers;
    if (bytes != nullptr) std::copy(bytes, bytes + counts_.last_answer.size(), counts_.last_answer.begin());
    const int64_t took = match(at_us);
    if (took >= 0) {
        counts_.answer_time_us = took;
        counts_.longest_answer_us = std::max(counts_.longest_answer_us, took);
    }
    if (took > kAnswerWindowUs) {
        ++counts_.late_answers;
        counts_.last_late_us = at_us;
        counts_.last_late_latency_us = took;
    }
    counts_.last_answer_us = at_us;
    counts_.unanswered_since_us = -1;
    counts_.bad_sums_since_answer = 0;
    counts_.bad_ends_since_answer = 0;
    return took;
}

void LineTally::corrupt(int64_t at_us) {
    ++counts_.bad_answers;
    counts_.last_bad_us = at_us;
    match(at_us);
}

void LineTally::bad_sum(int64_t at_us) {
    ++counts_.bad_sums;
    ++counts_.bad_sums_since_answer;
    corrupt(at_us);
}

void LineTally::bad_end(int64_t at_us) {
    ++counts_.bad_ends;
    ++counts_.bad_ends_since_answer;
    corrupt(at_us);
}

void LineTally::new_line() {
    counts_.unanswered += waiting_.size();
    waiting_.clear();
    last_heard_us_ = -1;
    counts_.unanswered_since_us = -1;
}

void LineTally::reset_counts() {
    LineCounts& c = counts_;
    c.frames_to_card = c.bad_frames_to_card = c.answers = c.bad_answers = c.bad_sums = c.bad_ends = 0;
    c.stray_bytes = c.stray_to_card = c.late_answers = c.dropped_bytes = c.unanswered = 0;
    c.longest_answer_us = -1;
    c.last_bad_answer = {};
    c.has_bad_answer = false;
}

}  // namespace vek::panel
