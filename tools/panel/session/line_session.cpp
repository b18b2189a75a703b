// What the line session does the same on every platform; the line itself is in
// line_session_posix.cpp and line_session_win32.cpp.
#include "panel/session/line_session.h"

#include <chrono>
#include <thread>

namespace vek::panel {

namespace {

// After a stop, the line counts as settled when no frame has crossed it for this long.
constexpr int kSettleQuietMs = 50;
constexpr int kSettleBoundMs = 1000;
constexpr int kSettleStepMs = 5;

}  // namespace

bool is_card_command(const std::string& word) {
    for (const char* name : {"input", "inputs", "analog", "volts", "silent", "bad-sum", "bad-end", "garbage", "split",
                             "delay", "wire-time", "faults", "unplug", "replug", "status", "frames", "after"}) {
        if (word == name) return true;
    }
    return false;
}

LineSession::LineSession() = default;

LineSession::~LineSession() { close(); }

bool LineSession::wait_quiet() const {
    LineCounts now;
    if (!counts(&now)) return false;
    // Settled once nothing has crossed for a while; bounded, as a dead line never settles.
    uint64_t seen = now.frames_to_card;
    for (int quiet_ms = 0, waited_ms = 0; quiet_ms < kSettleQuietMs && waited_ms < kSettleBoundMs;
         waited_ms += kSettleStepMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleStepMs));
        counts(&now);
        quiet_ms = now.frames_to_card == seen ? quiet_ms + kSettleStepMs : 0;
        seen = now.frames_to_card;
    }
    return true;
}

}  // namespace vek::panel
