// Each instance's poll delay, kept in the host's configuration file: key "delay" in the section
// "korvanex-vek-driver-<number>", read and written at config_path, the path the host passed last.
// A null or empty path reads as a missing file and is never written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

constexpr uint32_t kDefaultDelayMs = 50;

// The stored delay, or 50 when the file, the section or the key is missing. Never fails.
uint32_t load_settings(const char* config_path, uint32_t number);

// Writes the delay as unsigned decimal text. A failed write leaves the file as it was and is not
// reported: the command that saves returns 0 either way.
void save_settings(const char* config_path, uint32_t number, uint32_t delay_ms);

// The link's keys, beside "delay" in the same section. The driver only reads them; neither the
// dialog nor DRV_SAVE_SETTINGS writes them.
//   port          1 to 255: start probes COM<port> alone. Missing, empty or 0: the ports are
//                 scanned. Anything else (not plain decimal digits, out of range, too long) is
//                 unusable, with a note: the start fails rather than scan, since the key was
//                 there to keep the other ports' devices from being sent probe frames.
//   trace         a file the link's trace is appended to; missing or empty: no trace. A value
//                 longer than kTracePathMax reads as missing, with a note.
//   trace_frames  1: the trace also shows every frame each way. Missing, empty or 0: it does
//                 not; anything else reads as 0, with a note.
constexpr std::size_t kTracePathMax = 259;  // the longest path Windows' ANSI file calls take
constexpr std::size_t kSettingsNoteMax = 159;

struct LinkSettings {
    uint32_t port = 0;  // 0: scan, unless port_unusable
    bool port_unusable = false;  // the key is there but names no port: start must fail
    char trace_path[kTracePathMax + 1] = {};
    bool trace_frames = false;
    // Empty, or why a value was not used, for the trace to say once it is open. The value is
    // quoted with anything outside printable ASCII shown as '?'.
    char note[kSettingsNoteMax + 1] = {};
};

// Never fails: a missing path, file or section reads as every key missing.
LinkSettings load_link_settings(const char* config_path, uint32_t number);

}  // namespace vek
