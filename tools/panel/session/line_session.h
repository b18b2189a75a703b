// The panel's own line to the card, the platform's. On POSIX: the virtual card inside the panel
// or a serial device, offered to the driver as COM1 through the line monitor, a ports folder the
// driver scans as it is, or the tap between another program and the card
// (line_session_posix.cpp). On Windows none: the driver scans the COM ports itself, or probes the
// one the settings file names (line_session_win32.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "panel/line/line_event.h"
#include "panel/line/line_tally.h"
#include "panel/session/panel_options.h"

namespace vek::panel {

// The virtual card's commands, for the panel's hints.
constexpr const char* kCardCommandNames =
    "The card's commands: input, inputs, analog, volts, silent, bad-sum, bad-end, garbage, split, delay, "
    "wire-time, faults off, unplug, replug, status, frames, after";
// True when word names one of them (quit is not one: the panel ends the card itself).
bool is_card_command(const std::string& word);

class LineSession {
public:
    LineSession();
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    // Sets up the line the driver is to find the card on. On failure the status is an exit
    // status and *error says what happened and what to try.
    int open(const PanelOptions& options, std::string* error);
    // The tap's line alone: no driver, so nothing but the host's own bytes reaches the card.
    int open_tap(const PanelOptions& options, std::string* error);
    // Takes the line down. Safe to repeat.
    void close();

    bool is_tap() const { return tap_; }
    // True when the panel's line monitor sees every frame.
    bool monitored() const;
    // The line monitor's counts; false without a monitor.
    bool counts(LineCounts* counts) const;
    // The monitor's counters from zero; nothing without a monitor.
    void reset_counts();
    // The events the line monitor queued since the last call; false without a monitor.
    bool take_events(std::vector<LineEvent>* events, uint64_t* dropped);
    // After the driver's stop: until no frame has crossed for a while, bounded, so that what
    // the panel shows next is what the card was left with. False without a monitor.
    bool wait_quiet() const;

    // Why the driver's start found no card on this line, and what to try.
    std::string no_card_error() const;
    // Finds the port the driver kept: the one its trace says it found (traced_port, 0 when it
    // said none), or the one this process has open.
    void find_port(bool driver_started, unsigned traced_port);
    const std::string& port() const { return port_; }          // e.g. "COM1"; empty when not found
    const std::string& device() const { return device_; }      // what the port leads to

    bool has_virtual_card() const;
    std::array<uint8_t, 2> card_inputs() const;  // the virtual card's own inputs, active low
    // Runs a virtual card command ("input 3 on", "silent on", ...); empty without a virtual card.
    // The reply starts "ok" or "error:".
    std::string card_command(const std::string& line);
    void toggle_card_input(unsigned index_0_to_15);

private:
    // What the platform's line is made of.
    struct Parts;
    struct PartsDeleter {
        void operator()(Parts* parts) const;
    };

    std::unique_ptr<Parts, PartsDeleter> parts_;
    bool tap_ = false;
    std::string port_;
    std::string device_;
};

}  // namespace vek::panel
