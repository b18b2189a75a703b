#include "panel/session/panel_session.h"

#include <algorithm>

#include "panel/line/line_clock.h"

namespace vek::panel {

PanelSession::~PanelSession() { close(); }

int PanelSession::open(const PanelOptions& options, std::string* error) {
    int status = records_.open(options, error);
    if (status != kExitOk) return status;
    if (!options.tap.empty()) {
        status = line_.open_tap(options, error);
    } else {
        const int64_t began_us = monitor_now_us();
        status = line_.open(options, error);
        // The time spent waiting for the device to appear counts against --wait-card.
        PanelOptions rest = options;
        const auto waited_s = static_cast<int>((monitor_now_us() - began_us) / 1000000);
        rest.wait_card_s = options.wait_card_s > waited_s ? options.wait_card_s - waited_s : 0;
        if (status == kExitOk) status = driver_.open(rest, line_, error);
    }
    if (status != kExitOk) return status;
    records_.begin(snapshot());
    tick();
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

PanelSnapshot PanelSession::snapshot() const {
    PanelSnapshot shot = take_snapshot(line_, driver_, rate_);
    shot.traffic.assign(traffic_to_card_.begin(), traffic_to_card_.end());
    shot.traffic.insert(shot.traffic.end(), traffic_from_card_.begin(), traffic_from_card_.end());
    std::stable_sort(shot.traffic.begin(), shot.traffic.end(),
                     [](const LineEvent& a, const LineEvent& b) { return a.wall_us < b.wall_us; });
    return shot;
}

void PanelSession::reset_counters() {
    line_.reset_counts();
    driver_.reset_counts();
}

void PanelSession::keep_traffic(const std::vector<LineEvent>& events) {
    for (const LineEvent& event : events) {
        if (event.kind == LineEvent::Kind::line_lost || event.kind == LineEvent::Kind::line_back) continue;
        std::deque<LineEvent>& kept = event.to_card ? traffic_to_card_ : traffic_from_card_;
        kept.push_back(event);
        if (kept.size() > kTrafficFrames) kept.pop_front();
    }
}

void PanelSession::write_records(bool reading) {
    std::vector<LineEvent> events;
    uint64_t dropped = 0;
    if (line_.take_events(&events, &dropped)) {
        keep_traffic(events);
        records_.write_line_events(events, dropped);
    }
    if (!reading || !records_.keeps_readings()) return;
    // A row is the host cycle's reading: the extra readings a key or an action takes between
    // two cycles would be near copies of the row before. A tenth of a cycle's slack for the
    // timer's jitter.
    const int64_t now = monitor_now_us();
    if (last_row_us_ >= 0 && now - last_row_us_ < kPanelHostCycleMs * 900) return;
    last_row_us_ = now;
    records_.write_reading(snapshot());
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
