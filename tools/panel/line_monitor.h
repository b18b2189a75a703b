// Sits on the line between the driver and the card and counts what passes, so the panel can show
// the poll rate and the time since the card last answered, on real hardware as on the virtual
// card. The driver gets its own pseudo-terminal, published as a port link; each byte is relayed
// to the card's device as it arrives, and each answer back.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card_device.h"
#include "line_event.h"

struct LineCounts {
    uint64_t frames_to_card = 0;      // valid output frames from the driver
    uint64_t bad_frames_to_card = 0;
    uint64_t answers = 0;             // valid input frames from the card
    uint64_t bad_answers = 0;         // wrong end byte or checksum
    uint64_t stray_bytes = 0;         // from the card, outside any frame
    uint64_t stray_to_card = 0;       // from the driver's side, outside any frame
    uint64_t late_answers = 0;        // valid answers with an answer time over the driver's 200 ms wait
    uint64_t dropped_bytes = 0;       // a side that took nothing for 100 ms
    int64_t last_answer_us = -1;      // monotonic time of the newest valid answer; -1: none yet
    int64_t unanswered_since_us = -1; // when the first frame after the newest answer went out; -1: none
    int64_t last_frame_us = -1;       // when the newest valid output frame went out; -1: none yet
    std::array<uint8_t, 7> last_frame{};  // the newest valid output frame (all zero before one)
    std::array<uint8_t, 9> last_answer{}; // the newest valid answer (all zero before one)
    int64_t answer_time_us = -1;      // the newest valid answer, since the first frame after the answer before
    int64_t longest_answer_us = -1;   // the longest such time so far
    bool card_connected = false;      // false while the card's device is gone
};

class LineMonitor {
public:
    // device_path is asked afresh at each (re)open: a virtual card gets a new device on replug.
    LineMonitor(std::function<std::string()> device_path, std::string link);
    ~LineMonitor();
    LineMonitor(const LineMonitor&) = delete;
    LineMonitor& operator=(const LineMonitor&) = delete;

    // Opens the card's device, makes the driver's end and starts relaying. On failure nothing
    // runs and the result says why.
    DeviceOpen start();
    LineCounts counts() const;

    // From start on, keep each frame, bad frame and run of stray bytes for take_events, up to a
    // bound: the relay never waits for whoever writes them down. Call before start.
    void record_events();
    // What was seen since the last call, oldest first; *dropped: events the bound turned away.
    std::vector<LineEvent> take_events(uint64_t* dropped);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The steady clock in microseconds, as the monitor stamps answers.
int64_t monitor_now_us();
