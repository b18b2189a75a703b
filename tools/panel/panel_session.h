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
#include "csv_record.h"
#include "driver_library.h"
#include "line_monitor.h"
#include "line_record.h"
#include "panel_host.h"
#include "virtual_card.h"

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
};

// Exit statuses, shared by both modes.
constexpr int kExitOk = 0;
constexpr int kExitSetup = 1;        // the line, the driver library or the settings
constexpr int kExitUsage = 2;        // arguments or script
constexpr int kExitNotStarted = 3;   // the driver did not start: no card answered
constexpr int kExitWaitFailed = 4;   // a scripted wait for an input ran out

struct PanelSnapshot {
    PanelImage image;
    bool started = false;
    bool monitored = false;     // line counts, rate and answer age are known
    LineCounts line;
    double poll_hz = 0.0;       // output frames a second over the last second or so
    double since_answer_ms = -1.0;
    bool answering = false;     // every frame older than the driver's answer window was answered
    double since_frame_ms = -1.0;   // since the driver's newest frame to the card
    std::string port;           // e.g. "COM1"; empty when not found
    std::string device;         // what the port leads to
    bool virtual_card = false;
    bool tap = false;           // only watching: port is the tap's link, image what the line carried
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

    // Stops the driver and starts it again: a new scan, as after a pulled cable.
    bool restart();
    // Runs a virtual card command ("input 3 on", "silent on", ...); empty without a virtual card.
    std::string card_command(const std::string& line);
    bool has_virtual_card() const { return card_ != nullptr; }
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
    int open_line(const PanelOptions& options, std::string* error);
    int open_tap(const PanelOptions& options, std::string* error);
    int open_records(const PanelOptions& options, std::string* error);
    // Takes the line's events into the trace and, after a reading, a row into the CSV file.
    void write_records(bool reading);
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
    std::deque<std::pair<int64_t, uint64_t>> rate_samples_;  // (µs, frames to card)
    bool tap_ = false;
    std::unique_ptr<LineTrace> trace_;
    std::unique_ptr<CsvRecord> csv_;
};
