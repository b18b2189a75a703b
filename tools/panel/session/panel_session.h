// One panel session: the line to the card (on POSIX the embedded virtual card, a serial device
// behind the line monitor, or a ports folder as the driver scans it; on Windows the driver's own
// scan of the COM ports), the driver loaded as the host loads it, instance 0 created and
// started, and the host's cycle of writes and reads. The line is the platform's:
// panel_session_posix.cpp and panel_session_win32.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "panel/driver/driver_library.h"
#include "panel/driver/panel_host.h"
#include "panel/driver/trace_follow.h"
#include "panel/line/line_monitor.h"
#include "panel/line/line_record.h"
#include "panel/session/csv_record.h"

namespace vek::panel {

struct PanelOptions {
    std::string device;         // a serial device, behind the line monitor as COM1
    std::string ports;          // a ports folder, scanned by the driver as it is
    std::string driver;         // the driver library
    std::string settings;       // the instance's settings file
    std::string card_log;       // the virtual card's frame log (virtual card only)
    std::string tap;            // a serial device to watch, passed on to another program...
    std::string link;           // ...through a pseudo-terminal linked here; no driver is loaded
    std::string trace;          // one line per frame each way (the panel's own line or the tap)
    std::string csv;            // one row per reading
    bool wire_time = true;      // the virtual card paces its line at 115200 baud
    unsigned port = 0;          // Windows: COM<port> alone, written into the settings file; 0: scan
    int wait_card_s = 0;        // keep scanning this long for a card not powered yet
};

// The host's cycle, as the panel plays it: outputs written and inputs read ten times a second.
// The driver polls the card on its own thread, every delay (50 ms by default), whatever the host does.
constexpr int kPanelHostCycleMs = 100;

// Exit statuses, shared by both modes.
constexpr int kExitOk = 0;
constexpr int kExitSetup = 1;        // the line, the driver library or the settings
constexpr int kExitUsage = 2;        // arguments or script
constexpr int kExitNotStarted = 3;   // the driver did not start: no card answered
constexpr int kExitWaitFailed = 4;   // a scripted wait for an input ran out
constexpr int kExitCardCommand = 5;  // a scripted virtual card command failed

// How the line is doing, worst first.
enum class LineState {
    unknown,        // nothing tells yet
    line_lost,      // the card's device behind the line monitor has gone
    reconnecting,   // the driver lost its port and is reopening it
    no_frames,      // the driver sends nothing, and its trace does not say why
    corrupt,        // the card answers, but its answers are corrupt
    late,           // the card answers, later than the driver waits
    silent,         // the card does not answer
    answering,
};
const char* line_state_name(LineState state);

// The virtual card's commands, for the panel's hints.
constexpr const char* kCardCommandNames =
    "The card's commands: input, inputs, analog, volts, silent, bad-sum, bad-end, garbage, split, delay, "
    "wire-time, faults off, unplug, replug, status, frames, after";
// True when word names one of them (quit is not one: the panel ends the card itself).
bool is_card_command(const std::string& word);

struct PanelSnapshot {
    PanelImage image;
    bool started = false;
    bool monitored = false;     // line counts, rate and answer age are known (own line, or the
                                // driver's trace with its frames)
    bool own_line = false;      // the counts come from the panel's line monitor
    LineCounts line;
    double poll_hz = 0.0;       // output frames a second over the last second or so
    double since_answer_ms = -1.0;
    bool answering = false;     // the card answers in time, with valid frames
    LineState state = LineState::unknown;
    double since_frame_ms = -1.0;   // since the driver's newest frame to the card
    double inputs_age_ms = -1.0;    // since the driver last had valid inputs; -1: unknown
    bool inputs_stale = false;      // older than two of the driver's cycles
    uint32_t delay_ms = 0;          // the instance's poll delay, from the settings file
    std::string settings;           // the settings file
    uint32_t port_key = 0;          // the settings' "port": the one port the driver probes
    std::string trace_path;         // the driver's trace, which the panel follows
    bool own_trace = false;         // the panel named the trace; false: the user's own
    DriverTrace trace;
    std::string port;           // e.g. "COM1"; empty when not found
    std::string device;         // what the port leads to
    bool virtual_card = false;
    bool tap = false;           // only watching: port is the tap's link, image what the line carried
    std::array<uint8_t, 2> card_inputs{};  // the virtual card's own inputs, active low
};

// A COM port number as the driver reads its port key: 1 to 255 in plain decimal digits.
bool parse_port_number(const std::string& text, unsigned* port);

// Empty, or why the options ask for what this platform's panel does not have.
std::string options_refused(const PanelOptions& options);

// Whether these options leave the panel its virtual card, and how to get it when they do not.
bool offers_virtual_card(const PanelOptions& options);
std::string virtual_card_hint();

// A new folder of the panel's own in the system's temporary folder; false with the reason.
bool make_work_folder(std::string* folder, std::string* error);

class PanelSession {
public:
    PanelSession() = default;
    ~PanelSession();
    PanelSession(const PanelSession&) = delete;
    PanelSession& operator=(const PanelSession&) = delete;

    // Sets up the line and loads the driver, then creates and starts instance 0. On failure the
    // status is one of the exit statuses above and *error says what happened and what to try.
    int open(const PanelOptions& options, std::string* error);

    // One host cycle: write outputs, read inputs, sample the line.
    void tick();
    PanelSnapshot snapshot() const;
    PanelHost& host() { return *host_; }

    // Stops the driver and starts it again: a new scan, as after a pulled cable. False with
    // what the scan saw in *error.
    bool restart(std::string* error = nullptr);
    // Runs a virtual card command ("input 3 on", "silent on", ...); empty without a virtual card.
    // The reply starts "ok" or "error:".
    std::string card_command(const std::string& line);
    // The delay and the keys, read again after the dialog may have changed them.
    void reload_settings();
    bool has_virtual_card() const;
    // The tap loads no driver: host() must not be used.
    bool is_tap() const { return tap_; }
    void toggle_card_input(unsigned index_0_to_15);

    // DRV_STOP, then a moment for its all-off frame to cross the line, so that what the panel
    // shows next is what the card was left with.
    void stop();
    // Stops the driver if it still runs, deletes the instance and takes the line down. Safe to
    // repeat.
    void close();

private:
    // The platform's line to the card, and what it knows of it.
    struct Line;
    struct LineDeleter {
        void operator()(Line* line) const;
    };
    int open_line(const PanelOptions& options, std::string* error);
    std::string no_card_error() const;  // why the start found no card, and what to try
    int open_tap(const PanelOptions& options, std::string* error);
    int open_records(const PanelOptions& options, std::string* error);
    // Takes the line's events into the trace and, after a reading, a row into the CSV file.
    void write_records(bool reading);
    // The events the line monitor queued since the last call; false without a monitor.
    bool take_line_events(std::vector<LineEvent>* events, uint64_t* dropped);
    int open_trace(const PanelOptions& options, std::string* error);
    // DRV_START, with the panel's trace keys lent to the settings file for its duration.
    bool start_driver();
    std::string no_card_message() const;
    void settle_trace();
    void find_port();
    bool line_counts(LineCounts* counts) const;  // false without a line monitor
    void describe_card(PanelSnapshot* shot) const;
    void close_line();

    std::unique_ptr<Line, LineDeleter> line_;
    DriverLibrary library_;
    std::unique_ptr<PanelHost> host_;
    std::string port_;
    std::string port_device_;
    std::string settings_;
    uint32_t delay_ms_ = 0;
    uint32_t port_key_ = 0;
    std::string trace_path_;
    bool own_trace_ = false;
    std::unique_ptr<TraceFollow> driver_trace_;  // the driver's trace, followed for the line's health
    std::string work_folder_;                    // the panel's own: the trace it names is kept there
    std::deque<std::pair<int64_t, uint64_t>> rate_samples_;  // (µs, frames to card)
    bool tap_ = false;
    std::unique_ptr<LineTrace> trace_;
    std::unique_ptr<CsvRecord> csv_;
};

}  // namespace vek::panel
