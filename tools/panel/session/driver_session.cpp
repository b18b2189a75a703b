#include "panel/session/driver_session.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "config/settings.h"
#include "panel/driver/settings_lock.h"
#include "panel/driver/trace_keys.h"
#include "panel/driver/work_folder.h"
#include "panel/line/line_clock.h"

namespace vek::panel {

namespace {

// How long a failed start's last trace lines may take to reach the file.
constexpr int kTraceSettleMs = 2000;
constexpr int kTraceSettleStepMs = 20;
// Between two scans while waiting for a card to be powered.
constexpr int kWaitCardPauseMs = 1000;

bool is_folder(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::string folder_of(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

}  // namespace

DriverSession::~DriverSession() { close(); }

// The settings file's folder, the panel's own folder, and the trace to follow: the user's own,
// or one the panel lends the driver for each start.
int DriverSession::prepare_trace(const PanelOptions& options, std::string* error) {
    settings_.file = options.settings;
    const std::string& file = settings_.file;
    if (!is_folder(folder_of(file))) {
        *error = "the settings file " + file + " is in a folder that does not exist (" + folder_of(file) +
                 "). Make the folder, or name another file with --settings.";
        return kExitSetup;
    }
    if (!make_work_folder(&work_folder_, error)) return kExitSetup;
    // Under the lock: a trace key another panel has lent for its start is not the user's own,
    // and one a panel that died has left is put back first.
    SettingsLock lock;
    if (!lock.take(file, kSettingsLockWaitMs, error)) return kExitSetup;
    const LentKeysRepair repair = repair_lent_keys(file);
    if (!repair.said.empty()) std::fprintf(stderr, "vek-panel: %s\n", repair.said.c_str());
    if (!repair.ok) {
        *error = repair.said;
        return kExitSetup;
    }
    reload_settings();
    const vek::LinkSettings link = vek::load_link_settings(file.c_str(), 0);
    // The user's own trace is the driver's; the panel follows it rather than naming another.
    settings_.own_trace = link.trace_path[0] == '\0';
    settings_.trace_path = settings_.own_trace ? (std::filesystem::path(work_folder_) / "line.trace").string()
                                               : std::string(link.trace_path);
    trace_ = std::make_unique<TraceFollow>(settings_.trace_path);
    if (!settings_.own_trace) trace_->skip_existing();
    return kExitOk;
}

int DriverSession::load(const PanelOptions& options, std::string* error) {
    std::string load_error;
    if (!load_driver_library(options.driver, &library_, &load_error)) {
        *error = "cannot load the driver: " + load_error + ". " + missing_driver_hint();
        return kExitSetup;
    }
    host_ = std::make_unique<PanelHost>(library_.entry, options.settings);
    if (host_->create() != 0) {
        *error = "the driver refused to create instance 0";
        return kExitSetup;
    }
    return kExitOk;
}

int DriverSession::open(const PanelOptions& options, LineSession& line, std::string* error) {
    int status = prepare_trace(options, error);
    if (status == kExitOk) status = load(options, error);
    if (status != kExitOk) return status;
    // A card that is not powered yet: the scan is tried again until the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.wait_card_s);
    while (!start(line)) {
        if (std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitCardPauseMs) >= deadline) {
            settle_trace();
            *error = no_card_message(line);
            if (options.wait_card_s > 0) *error += " (looked for " + std::to_string(options.wait_card_s) + " s)";
            return kExitNotStarted;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitCardPauseMs));
    }
    line.find_port(started(), found_port(line));
    return kExitOk;
}

void DriverSession::reload_settings() {
    const uint32_t before = settings_.delay_ms;
    settings_.delay_ms = vek::load_settings(settings_.file.c_str(), 0);
    settings_.port_key = vek::load_link_settings(settings_.file.c_str(), 0).port;
    // A running poll thread sleeps out the delay it began with before it takes the new one.
    if (before != 0 && before != settings_.delay_ms) {
        settings_.previous_delay_ms = before;
        settings_.delay_changed_us = monitor_now_us();
    }
}

bool DriverSession::start(const LineSession& line) {
    if (!settings_.own_trace) return host_->start() == 0;
    // One panel lends at a time: two lending at once would each take the other's key for the user's.
    SettingsLock lock;
    if (!lock.take(settings_.file, kSettingsLockWaitMs, &lock_error_)) return false;
    lock_error_.clear();
    // Without a line of its own, the panel learns of every frame from the trace.
    const LentTraceKeys lent(settings_.file, settings_.trace_path, !line.monitored(), work_folder_);
    return host_->start() == 0;
}

void DriverSession::settle_trace() {
    for (int waited = 0; waited < kTraceSettleMs; waited += kTraceSettleStepMs) {
        trace_->poll();
        if (trace_->state().start_failed) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kTraceSettleStepMs));
    }
}

// The driver's trace is written by a thread of its own: its "found" line may come a moment after
// the start returned. A line the panel monitors finds its port otherwise.
unsigned DriverSession::found_port(const LineSession& line) {
    if (!started() || line.monitored()) return 0;
    for (int waited = 0; waited < kTraceSettleMs; waited += kTraceSettleStepMs) {
        trace_->poll();
        if (trace_->state().found_port != 0) return trace_->state().found_port;
        if (trace_->state().start_ended) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(kTraceSettleStepMs));
    }
    return 0;
}

std::string DriverSession::no_card_message(const LineSession& line) const {
    if (!lock_error_.empty()) return lock_error_;
    // What the scan saw is in the trace: a port that answered only with corrupt frames is a card
    // on the wrong speed or a noisy line, not a dead card.
    const DriverTrace& seen = trace_->state();
    if (!seen.corrupt_ports.empty()) {
        std::string ports;
        for (unsigned n : seen.corrupt_ports) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(n);
        return "CARD ANSWERS CORRUPT (" + std::to_string(seen.scan_bad_sums) + " bad checksums, " +
               std::to_string(seen.scan_bad_ends) + " bad end bytes) on " + ports +
               ": a card is there, but no answer was whole. Check that the card runs at 115200 baud 8N1, "
               "and the cable for noise (length, shielding, ground).";
    }
    const uint32_t port = settings_.port_key;
    if (port != 0) {
        return "no card answered on COM" + std::to_string(port) + ", the port named by port=" + std::to_string(port) +
               " in " + settings_.file + " (the driver probes that port alone" +
               (line.monitored() ? "; the panel offers the card as COM1: set port=1 or remove the key)" : ")") +
               ". Check the card's power and cable, and that nothing else is using the port.";
    }
    return line.no_card_error();
}

void DriverSession::follow_trace() {
    if (trace_ != nullptr) trace_->poll();
}

void DriverSession::exchange() {
    if (host_ != nullptr) host_->exchange();
    follow_trace();
}

bool DriverSession::restart(LineSession& line, std::string* error) {
    if (host_ == nullptr) return false;
    host_->stop();
    // The user may have named a port or a trace since.
    reload_settings();
    const bool started_again = start(line);
    if (!started_again) {
        settle_trace();
        if (error != nullptr) *error = no_card_message(line);
    }
    line.find_port(started(), found_port(line));
    return started_again;
}

bool DriverSession::stop() {
    if (!started()) return false;
    host_->stop();
    return true;
}

void DriverSession::close() {
    // The library stays loaded: a poll thread that outlived its stop's bound still runs in it.
    host_.reset();
    trace_.reset();
    if (!work_folder_.empty()) {
        // The driver's trace has been closed by its stop; it and its rotated copy go with the folder.
        std::error_code ignored;
        std::filesystem::remove_all(work_folder_, ignored);
        work_folder_.clear();
    }
}

}  // namespace vek::panel
