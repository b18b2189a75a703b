// The session's records: the trace of the line (--trace) and the readings table (--csv). Both
// are written on the panel's own thread, once a cycle; the line monitor's relay only queues what
// it saw.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "panel/line/line_record.h"
#include "panel/session/csv_record.h"
#include "panel/session/line_session.h"
#include "panel/session/panel_options.h"

namespace vek::panel {

struct PanelSnapshot;

// Empty, or why the records the options name cannot be kept: two of them (--trace, --csv,
// --card-log) in one file, or one in the settings file.
std::string record_paths_problem(const PanelOptions& options);

class SessionRecords {
public:
    // Opens the records the options name. On failure the status is an exit status and *error
    // says why.
    int open(const PanelOptions& options, std::string* error);
    // Heads the session in each record, once the card is found: the port and the delay.
    void begin(const PanelSnapshot& shot);
    // The line's events since the last take, into the trace; dropped: those the monitor had no
    // room for.
    void write_line_events(const std::vector<LineEvent>& events, uint64_t dropped);
    // True when a reading is to be written as a row.
    bool keeps_readings() const { return csv_ != nullptr; }
    void write_reading(const PanelSnapshot& shot);
    // The option and file of a record that could not be written; empty while every write went.
    std::string failure() const;
    void close();

private:
    // Past the cap, a record is renamed to <file>.1 and a new one begins with its headers.
    void rotate_if_full();
    bool open_trace(std::string* error);
    long cap_bytes() const;

    PanelOptions options_;
    std::string what_;        // the line traced
    std::string session_;     // the session's line, once begun
    std::unique_ptr<LineTrace> trace_;
    std::unique_ptr<CsvRecord> csv_;
    std::string trace_path_;
    std::string csv_path_;
};

}  // namespace vek::panel
