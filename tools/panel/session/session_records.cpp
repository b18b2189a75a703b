// The session's records: the trace of the line and the readings table. Both are written here,
// on the panel's own thread, once a cycle; the line monitor's relay only queues what it saw.
#include <cstdint>
#include <vector>

#include "panel/line/line_clock.h"
#include "panel/session/panel_session.h"
#include "panel/session/record_file.h"

namespace vek::panel {

int PanelSession::open_records(const PanelOptions& options, std::string* error) {
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

void PanelSession::write_records(bool reading) {
    std::vector<LineEvent> events;
    uint64_t dropped = 0;
    if (trace_ != nullptr && take_line_events(&events, &dropped) && (!events.empty() || dropped > 0)) {
        trace_->write(events, dropped);
    }
    if (csv_ != nullptr && reading) csv_->write(snapshot(), wall_now_us());
}

}  // namespace vek::panel
