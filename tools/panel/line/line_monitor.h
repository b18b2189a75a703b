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

#include "panel/line/card_device.h"
#include "panel/line/line_event.h"
#include "panel/line/line_tally.h"

namespace vek::panel {

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
    // Every counter and the longest answer time from zero (LineTally::reset_counts).
    void reset_counts();

    // From start on, keep each frame, bad frame and run of stray bytes for take_events, up to a
    // bound: the relay never waits for whoever writes them down. Call before start.
    void record_events();
    // What was seen since the last call, oldest first; *dropped: events the bound turned away.
    std::vector<LineEvent> take_events(uint64_t* dropped);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vek::panel
