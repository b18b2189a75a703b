#include "panel/session/session_records.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "panel/line/line_clock.h"
#include "panel/session/record_file.h"
#include "panel/session/snapshot.h"

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

bool SessionRecords::open_trace(std::string* error) {
    const RecordKind kind{"trace", "--trace", trace_first_line_is_ours};
    FILE* file = open_record_file(options_.trace, kind, error);
    // An earlier run's trace already at the cap goes to <file>.1 before this session begins.
    if (file != nullptr && std::ftell(file) >= cap_bytes()) {
        std::fclose(file);
        file = rotate_record_file(options_.trace, error) ? open_record_file(options_.trace, kind, error) : nullptr;
    }
    if (file == nullptr) return false;
    trace_ = std::make_unique<LineTrace>();
    trace_->open(file, options_.trace, what_, session_header(options_, "session"));
    return true;
}

int SessionRecords::open(const PanelOptions& options, std::string* error) {
    options_ = options;
    trace_path_ = options.trace;
    csv_path_ = options.csv;
    what_ = !options.tap.empty()      ? "tap " + options.link + " <-> " + options.tap
            : !options.device.empty() ? "device " + options.device
                                      : std::string("virtual card");
    if (!options.trace.empty() && !open_trace(error)) return kExitSetup;
    if (!options.csv.empty()) {
        csv_ = std::make_unique<CsvRecord>();
        if (!csv_->open(options.csv, error)) {
            csv_.reset();
            return kExitSetup;
        }
        if (csv_->size() >= cap_bytes()) {
            csv_ = std::make_unique<CsvRecord>();  // closes the full one before it is renamed
            if (!rotate_record_file(options.csv, error) || !csv_->open(options.csv, error)) {
                csv_.reset();
                return kExitSetup;
            }
        }
        csv_->note(session_header(options_, "readings") + "; " + what_);
    }
    return kExitOk;
}

void SessionRecords::begin(const PanelSnapshot& shot) {
    session_ = shot.tap ? "tap on " + shot.port + " <-> " + shot.device
                        : "driver started on " + (shot.port.empty() ? std::string("?") : shot.port) + " (" +
                              shot.device + "), delay " + std::to_string(shot.delay_ms) + " ms, settings " +
                              shot.settings;
    if (trace_ != nullptr) trace_->note(session_);
    if (csv_ != nullptr) csv_->note(session_);
}

long SessionRecords::cap_bytes() const { return static_cast<long>(options_.record_cap_mib) * 1024 * 1024; }

void SessionRecords::rotate_if_full() {
    const long cap = cap_bytes();
    std::string error;
    if (trace_ != nullptr && trace_->size() >= cap) {
        trace_.reset();
        if (!rotate_record_file(options_.trace, &error) || !open_trace(&error)) {
            std::fprintf(stderr, "vek-panel: the trace stops: %s\n", error.c_str());
        } else if (!session_.empty()) {
            trace_->note(session_);
        }
    }
    if (csv_ != nullptr && csv_->size() >= cap) {
        csv_.reset();
        error.clear();
        auto next = std::make_unique<CsvRecord>();
        if (!rotate_record_file(options_.csv, &error) || !next->open(options_.csv, &error)) {
            std::fprintf(stderr, "vek-panel: the readings file stops: %s\n", error.c_str());
            return;
        }
        csv_ = std::move(next);
        csv_->note(session_header(options_, "readings") + "; " + what_ + (session_.empty() ? "" : "; " + session_));
    }
}

void SessionRecords::write_line_events(const std::vector<LineEvent>& events, uint64_t dropped) {
    if (trace_ != nullptr && (!events.empty() || dropped > 0)) trace_->write(events, dropped);
    rotate_if_full();
}

void SessionRecords::write_reading(const PanelSnapshot& shot) {
    if (csv_ != nullptr) csv_->write(shot, wall_now_us());
    rotate_if_full();
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
