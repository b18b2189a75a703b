#include "panel/session/session_records.h"

#include <cstdint>
#include <iterator>
#include <vector>

#include "panel/line/line_clock.h"
#include "panel/session/record_file.h"

namespace vek::panel {

std::string record_paths_problem(const PanelOptions& options) {
    const struct {
        const char* option;
        const std::string& path;
    } records[] = {{"--trace", options.trace}, {"--csv", options.csv}, {"--card-log", options.card_log}};
    for (std::size_t i = 0; i < std::size(records); ++i) {
        const std::string& path = records[i].path;
        if (path.empty()) continue;
        if (!options.settings.empty() && same_record_file(path, options.settings)) {
            return std::string(records[i].option) + " names the settings file " + path +
                   ", which the driver reads: give the record a file of its own";
        }
        for (std::size_t j = i + 1; j < std::size(records); ++j) {
            if (!records[j].path.empty() && same_record_file(path, records[j].path)) {
                return std::string(records[i].option) + " and " + records[j].option + " name one file, " + path +
                       ": give each record its own";
            }
        }
    }
    return {};
}

int SessionRecords::open(const PanelOptions& options, std::string* error) {
    trace_path_ = options.trace;
    csv_path_ = options.csv;
    if (!options.trace.empty()) {
        const std::string what = !options.tap.empty() ? "tap " + options.link + " <-> " + options.tap
                                 : !options.device.empty() ? "device " + options.device
                                                           : std::string("virtual card");
        FILE* file = open_record_file(options.trace, RecordKind{"trace", "--trace", trace_first_line_is_ours}, error);
        if (file == nullptr) return kExitSetup;
        trace_ = std::make_unique<LineTrace>();
        trace_->open(file, options.trace, what);
    }
    if (!options.csv.empty()) {
        csv_ = std::make_unique<CsvRecord>();
        if (!csv_->open(options.csv, error)) {
            csv_.reset();
            return kExitSetup;
        }
    }
    return kExitOk;
}

void SessionRecords::write_line_events(LineSession& line) {
    std::vector<LineEvent> events;
    uint64_t dropped = 0;
    if (trace_ != nullptr && line.take_events(&events, &dropped) && (!events.empty() || dropped > 0)) {
        trace_->write(events, dropped);
    }
}

void SessionRecords::write_reading(const PanelSnapshot& shot) {
    if (csv_ != nullptr) csv_->write(shot, wall_now_us());
}

std::string SessionRecords::failure() const {
    if (trace_ != nullptr && trace_->failed()) return "--trace " + trace_path_;
    if (csv_ != nullptr && csv_->failed()) return "--csv " + csv_path_;
    return {};
}

void SessionRecords::close() {
    trace_.reset();
    csv_.reset();
}

}  // namespace vek::panel
