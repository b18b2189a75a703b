// Follows the driver's own trace file, as the driver appends to it, and keeps what it tells:
// corrupt answers and stray bytes, a silent card and its return, a lost port and its reopening,
// and, when frames are traced too, every frame each way. This is how the panel knows the line's
// health on a ports folder, where it has no line of its own to watch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "panel/line/line_tally.h"

namespace vek::panel {

struct DriverTrace {
    bool writing = false;         // a start line seen: the driver writes this trace
    bool frames = false;          // tx and rx lines seen: the counts below are whole
    LineCounts counts;            // card_connected is unused here
    bool silent = false;          // "card silent" without "card answers again" since
    bool lost = false;            // "COMn lost" without "COMn reopened" since
    unsigned lost_port = 0;
    std::string lost_reason;      // the system's words after "COMn lost: ", if any
    std::string reopened;         // "COM3 reopened after 1203 ms", the newest
    int64_t reopened_us = -1;
    // The newest start's scan: the ports that gave only corrupt answers, and how it ended.
    std::vector<unsigned> corrupt_ports;
    uint64_t scan_bad_sums = 0;
    uint64_t scan_bad_ends = 0;
    bool start_failed = false;
    bool start_ended = false;     // found a port or failed
    unsigned found_port = 0;      // the port the newest start found the card on; 0: none yet
    std::string settings_note;    // the driver's note on a key it did not use
};

class TraceFollow {
public:
    explicit TraceFollow(std::string path) : path_(std::move(path)) {}

    // Reads what the driver appended since the last call. A file that is not there yet, or was
    // renamed away at its size cap, is picked up again from its start.
    void poll();
    // Follows only what is appended from now on: a user's trace holds earlier runs' lines, whose
    // lost ports and silent cards are long over.
    void skip_existing();
    const DriverTrace& state() const { return state_; }
    // Every counter and the longest answer time from zero (LineTally::reset_counts).
    void reset_counts() {
        tally_.reset_counts();
        state_.counts = tally_.counts();
    }
    const std::string& path() const { return path_; }

    // One line of the trace, as the driver writes it (for the tests of the reading rules).
    void take_line(const std::string& line);

private:
    // Each takes one kind of line; false when the line is not of its kind.
    bool take_start_line(const std::string& text);
    bool take_frame_line(int64_t at, const std::string& text);
    bool take_fault_line(int64_t at, const std::string& text);
    bool take_card_line(const std::string& text);
    void take_port_line(int64_t at, const std::string& text);

    std::string path_;
    uint64_t offset_ = 0;
    std::string partial_;
    LineTally tally_;
    DriverTrace state_;
    bool skip_stray_line_ = false;
    bool scanning_ = false;
};

}  // namespace vek::panel
