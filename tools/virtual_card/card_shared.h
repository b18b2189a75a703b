// What the card's thread and its callers share: the card's settings, the log of received frames
// and the counters, all under one mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "virtual_card.h"

struct CardShared {
    std::function<void(const ReceivedFrame&)> on_frame;  // set before the thread starts
    int64_t started_ns = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable frames_changed;
    uint8_t inputs[2] = {0xFF, 0xFF};  // all off: the inputs are active low
    uint16_t analog[2] = {0, 0};
    CardFault fault;
    bool wire_time = false;
    bool loopback = false;
    std::deque<ReceivedFrame> log;
    std::size_t valid_count = 0;
    std::size_t invalid_count = 0;
    std::size_t garbage_count = 0;
    std::size_t answer_count = 0;
};

// A long run keeps only the latest frames, so the log cannot eat the machine's memory.
constexpr std::size_t kFrameLogLimit = std::size_t{1} << 20;

// The card's side of the line, until wake_fd becomes readable.
void run_card_line(CardShared& card, int master_fd, int wake_fd);
