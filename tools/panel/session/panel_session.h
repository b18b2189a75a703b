// One run of the panel: the line to the card, the driver started on it (none with the tap), the
// rate of frames measured over the host's cycles, and the records kept of them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "panel/session/driver_session.h"
#include "panel/session/line_session.h"
#include "panel/session/panel_options.h"
#include "panel/session/poll_rate.h"
#include "panel/session/session_records.h"
#include "panel/session/snapshot.h"

namespace vek::panel {

class PanelSession {
public:
    PanelSession() = default;
    ~PanelSession();
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    // Opens the records and the line, then (but for the tap) loads the driver and starts it. On
    // failure the status is an exit status and *error says what happened and what to try.
    int open(const PanelOptions& options, std::string* error);
    // One host cycle: write outputs, read inputs, sample the line, write the records.
    void tick();
    PanelSnapshot snapshot() const;
    // Every line counter and the longest answer time from zero, whichever source counts them.
    void reset_counters();
    // Stops the driver and starts it again: a new scan, as after a pulled cable. False with
    // what the scan saw in *error.
    bool restart(std::string* error = nullptr);
    // DRV_STOP, then a moment for its all-off frame to cross the line, so that what the panel
    // shows next is what the card was left with.
    void stop();
    // Stops the driver if it still runs, deletes the instance and takes the line down. Safe to
    // repeat.
    void close();

    // A record that could not be written: its option and file; empty while every write went.
    bool records_failed() const { return !records_.failure().empty(); }
    std::string records_failure() const { return records_.failure(); }

    LineSession& line() { return line_; }
    DriverSession& driver() { return driver_; }

private:
    // The line's events into the trace and the traffic pane and, after a reading, a row into
    // the CSV file.
    void write_records(bool reading);
    void keep_traffic(const std::vector<LineEvent>& events);

    LineSession line_;
    DriverSession driver_;
    PollRate rate_;
    SessionRecords records_;
    int64_t last_row_us_ = -1;  // when the newest CSV row was written, on the monitor's clock
    std::deque<LineEvent> traffic_to_card_;   // the newest frames each way, for the traffic pane
    std::deque<LineEvent> traffic_from_card_;
};

}  // namespace vek::panel
