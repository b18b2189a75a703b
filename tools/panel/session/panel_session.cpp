#include "panel/session/panel_session.h"

#include "panel/line/line_clock.h"

namespace vek::panel {

PanelSession::~PanelSession() { close(); }

int PanelSession::open(const PanelOptions& options, std::string* error) {
    int status = records_.open(options, error);
    if (status != kExitOk) return status;
    if (!options.tap.empty()) {
        status = line_.open_tap(options, error);
    } else {
        status = line_.open(options, error);
        if (status == kExitOk) status = driver_.open(options, line_, error);
    }
    if (status == kExitOk) tick();
    return status;
}

void PanelSession::tick() {
    driver_.follow_trace();
    // The tap reads what the line carried; the driver's inputs are read by the host's cycle.
    const bool reading = line_.is_tap() || driver_.started();
    if (!reading) {
        write_records(false);
        return;
    }
    driver_.exchange();
    LineCounts counts;
    const DriverTrace* trace = driver_.trace();
    if (!line_.counts(&counts) && trace != nullptr) counts = trace->counts;
    rate_.sample(counts.last_frame_us, counts.frames_to_card);
    write_records(true);
}

void PanelSession::write_records(bool reading) {
    records_.write_line_events(line_);
    if (reading && records_.keeps_readings()) records_.write_reading(snapshot());
}

bool PanelSession::restart(std::string* error) {
    if (driver_.host() == nullptr) return false;
    rate_.clear();
    return driver_.restart(line_, error);
}

void PanelSession::stop() {
    if (!driver_.stop()) return;
    if (line_.wait_quiet()) write_records(false);
}

void PanelSession::close() {
    // The instance first: its stop sends the all-off frame through the line, which must still
    // be there to carry it.
    driver_.close();
    write_records(false);
    line_.close();
    records_.close();
}

}  // namespace vek::panel
