// The driver as the host drives it: the library loaded at run time, instance 0 created with its
// settings file and started on the line, the host's cycle of writes and reads, and the driver's
// own trace followed for the line's health.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "panel/driver/driver_library.h"
#include "panel/driver/panel_host.h"
#include "panel/driver/trace_follow.h"
#include "panel/session/line_session.h"
#include "panel/session/panel_options.h"

namespace vek::panel {

// What the panel knows of the instance's settings file: where it is, the keys the driver reads
// from it, and the trace the panel follows.
struct DriverSettings {
    std::string file;
    uint32_t delay_ms = 0;          // the instance's poll delay
    uint32_t previous_delay_ms = 0; // the delay before the newest change (the dialog)...
    int64_t delay_changed_us = -1;  // ...and when it changed (steady clock)
    uint32_t port_key = 0;          // "port": the one port the driver probes; 0: it scans
    std::string trace_path;         // the driver's trace
    bool own_trace = false;         // the panel named the trace; false: the user's own
};

class DriverSession {
public:
    DriverSession() = default;
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Loads the driver, then creates and starts instance 0 on the line, which is told the port
    // the driver kept. On failure the status is an exit status and *error says what happened and
    // what to try.
    int open(const PanelOptions& options, LineSession& line, std::string* error);
    // Reads what the driver appended to its trace since.
    void follow_trace();
    // One host cycle: DRV_WRITE_OUTPUTS, DRV_READ_INPUTS, and the trace they made.
    void exchange();
    // Stops the driver and starts it again: a new scan, as after a pulled cable. False with
    // what the scan saw in *error.
    bool restart(LineSession& line, std::string* error);
    // The delay and the keys, read again after the dialog may have changed them.
    void reload_settings();
    // DRV_STOP; false when the driver was not running.
    bool stop();
    // Stops the driver if it still runs, deletes the instance and removes the panel's folder.
    // Safe to repeat.
    void close();

    // Null before the driver is loaded, and with the tap, which loads none.
    PanelHost* host() { return host_.get(); }
    const PanelHost* host() const { return host_.get(); }
    bool started() const { return host_ != nullptr && host_->started(); }
    const DriverSettings& settings() const { return settings_; }
    // Null before the settings are read, and with the tap.
    const DriverTrace* trace() const { return trace_ != nullptr ? &trace_->state() : nullptr; }
    void reset_counts() {
        if (trace_ != nullptr) trace_->reset_counts();
    }

private:
    int prepare_trace(const PanelOptions& options, std::string* error);
    int load(const PanelOptions& options, std::string* error);
    // DRV_START, with the panel's trace keys lent to the settings file for its duration.
    bool start(const LineSession& line);
    // A failed start's trace lines are written by the trace's own thread: waits, bounded, for them.
    void settle_trace();
    unsigned found_port(const LineSession& line);  // what the trace says the start found; 0: none
    std::string no_card_message(const LineSession& line) const;

    DriverLibrary library_;
    std::unique_ptr<PanelHost> host_;
    DriverSettings settings_;
    std::unique_ptr<TraceFollow> trace_;  // the driver's trace, followed for the line's health
    std::string work_folder_;             // the panel's own: the trace it names is kept there
    std::string lock_error_;              // why the newest start could not lend its keys
};

}  // namespace vek::panel
