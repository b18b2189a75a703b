// What a run of the panel is asked for, and how it ends: the options, whether this platform's
// panel has what they ask for (panel_options_posix.cpp, panel_options_win32.cpp), and the exit
// statuses.
#pragma once

#include <string>

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
    unsigned record_cap_mib = 10;  // --trace and --csv are renamed to <file>.1 at this size
    std::string command_line;   // the options as given, for the records' session headers
};

// Exit statuses, shared by both modes.
constexpr int kExitOk = 0;
constexpr int kExitSetup = 1;        // the line, the driver library or the settings
constexpr int kExitUsage = 2;        // arguments or script
constexpr int kExitNotStarted = 3;   // the driver did not start: no card answered
constexpr int kExitWaitFailed = 4;   // a scripted wait for an input ran out
constexpr int kExitCardCommand = 5;  // a scripted virtual card command failed
constexpr int kExitCheckFailed = 6;  // a scripted check-analog-in or check-line failed
constexpr int kExitRecordFailed = 7; // a record (--trace, --csv) could not be written
constexpr int kExitInterrupted = 8;  // a script cut short by Ctrl-C or SIGTERM

// A COM port number as the driver reads its port key: 1 to 255 in plain decimal digits.
bool parse_port_number(const std::string& text, unsigned* port);

// "vek-panel 0.2.0 <what>: options --csv r.csv": the front of each record's session header.
std::string session_header(const PanelOptions& options, const std::string& what);

// Empty, or why the options ask for what this platform's panel does not have.
std::string options_refused(const PanelOptions& options);

// Whether these options leave the panel its virtual card, and how to get it when they do not.
bool offers_virtual_card(const PanelOptions& options);
std::string virtual_card_hint();

}  // namespace vek::panel
