#include "line_tally.h"

#include <algorithm>

namespace {

// A card quiet for this long has dropped the frames before: an answer after it belongs to a
// frame sent since, not to one the driver gave up on. Twice the window, so that a card that
// answers every frame, however late, is never taken for a quiet one.
constexpr int64_t kQuietResyncUs = 2 * kAnswerWindowUs;
// No card holds an answer back longer than this (the virtual card keeps at most 8 waiting).
constexpr int64_t kForgetUs = 2000000;
constexpr std::size_t kMostWaiting = 64;

}  // namespace

void LineTally::frame(int64_t at_us, const uint8_t* bytes) {
    ++counts_.frames_to_card;
    if (counts_.unanswered_since_us < 0) counts_.unanswered_since_us = at_us;
    counts_.last_frame_us = at_us;
    if (bytes != nullptr) std::copy(bytes, bytes + counts_.last_frame.size(), counts_.last_frame.begin());
    while (!waiting_.empty() && (at_us - waiting_.front() > kForgetUs || waiting_.size() >= kMostWaiting)) {
        waiting_.pop_front();
    }
    waiting_.push_back(at_us);
}

void LineTally::card_bytes(int64_t at_us) {
    if (last_card_byte_us_ >= 0 && at_us - last_card_byte_us_ > kQuietResyncUs) {
        // Keep only what the card can still be answering in time.
        while (!waiting_.empty() && at_us - waiting_.front() > kAnswerWindowUs) waiting_.pop_front();
    }
    last_card_byte_us_ = at_us;
}

void LineTally::answer(int64_t at_us) {
    if (last_card_byte_us_ < 0) last_card_byte_us_ = at_us;
    ++counts_.answers;
    counts_.last_answer_us = at_us;
    counts_.unanswered_since_us = -1;
    counts_.bad_sums_since_answer = 0;
    counts_.bad_ends_since_answer = 0;
    if (waiting_.empty()) return;
    counts_.last_latency_us = at_us - waiting_.front();
    waiting_.pop_front();
    if (counts_.last_latency_us > kAnswerWindowUs) ++counts_.late_answers;
}

void LineTally::corrupt(int64_t at_us) {
    ++counts_.bad_answers;
    counts_.last_bad_us = at_us;
    // A corrupt answer still answers its frame.
    if (!waiting_.empty()) waiting_.pop_front();
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
    waiting_.clear();
    last_card_byte_us_ = -1;
    counts_.unanswered_since_us = -1;
}
