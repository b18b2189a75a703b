// One panel session: the line to the card (the embedded virtual card, a serial device behind the
// line monitor, or a ports folder as the driver scans it), the driver loaded as the host loads
// it, instance 0 created and started, and the host's cycle of writes and reads.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "card_commands.h"
#include "driver_library.h"
#include "line_monitor.h"
#include "panel_host.h"
#include "trace_follow.h"
#include "virtual_card.h"

struct PanelOptions {
    std::string device;         // a serial device, behind the line monitor as COM1
    std::string ports;          // a ports folder, scanned by the driver as it is
    std::string driver;         // the driver library
    std::string settings;       // the instance's settings file
    std::string card_log;       // the virtual card's frame log (virtual card only)
    bool wire_time = true;      // the virtual card paces its line at 115200 baud
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
    std::array<uint8_t, 2> card_inputs{};  // the virtual card's own inputs, active low
};

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
    bool has_virtual_card() const { return card_ != nullptr; }
    void toggle_card_input(unsigned index_0_to_15);

    // DRV_STOP, then a moment for its all-off frame to cross the line, so that what the panel
    // shows next is what the card was left with.
    void stop();
    // Stops the driver if it still runs, deletes the instance and takes the line down. Safe to
    // repeat.
    void close();

private:
    int open_line(const PanelOptions& options, std::string* error);
    int open_trace(const PanelOptions& options, std::string* error);
    // DRV_START, with the panel's trace keys lent to the settings file for its duration.
    bool start_driver();
    std::string no_card_message() const;
    void settle_trace();
    void find_port();

    std::unique_ptr<VirtualCard> card_;
    std::unique_ptr<CommandState> card_commands_;
    FILE* card_log_ = nullptr;
    std::unique_ptr<LineMonitor> monitor_;
    std::string private_ports_;     // made by the panel, removed on close
    std::string ports_;             // the folder the driver scans
    std::string device_;
    DriverLibrary library_;
    std::unique_ptr<PanelHost> host_;
    std::string port_;
    std::string port_device_;
    std::string settings_;
    uint32_t delay_ms_ = 0;
    uint32_t port_key_ = 0;
    std::string trace_path_;
    bool own_trace_ = false;
    std::unique_ptr<TraceFollow> trace_;
    std::deque<std::pair<int64_t, uint64_t>> rate_samples_;  // (µs, frames to card)
};
