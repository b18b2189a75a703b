#include "panel/session/session_records.h"

#include <cstdint>
#include <vector>

#include "panel/line/line_clock.h"
#include "panel/session/record_file.h"

namespace vek::panel {

int SessionRecords::open(const PanelOptions& options, std::string* error) {
    if (!options.trace.empty()) {
        const std::string what = !options.tap.empty() ? "tap " + options.link + " <-> " + options.tap
                                 : !options.device.empty() ? "device " + options.device
                                                           : std::string("virtual card");
        FILE* file = open_record_file(options.trace, "trace", error);
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

void SessionRecords::close() {
    trace_.reset();
    csv_.reset();
}

}  // namespace vek::panel
