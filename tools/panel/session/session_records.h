// The session's records: the trace of the line (--trace) and the readings table (--csv). Both
// are written on the panel's own thread, once a cycle; the line monitor's relay only queues what
// it saw.
#pragma once

#include <memory>
#include <string>

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
    // The line's events since the last call, into the trace.
    void write_line_events(LineSession& line);
    // True when a reading is to be written as a row.
    bool keeps_readings() const { return csv_ != nullptr; }
    void write_reading(const PanelSnapshot& shot);
    // The option and file of a record that could not be written; empty while every write went.
    std::string failure() const;
    void close();

private:
    std::unique_ptr<LineTrace> trace_;
    std::unique_ptr<CsvRecord> csv_;
    std::string trace_path_;
    std::string csv_path_;
};

}  // namespace vek::panel
