#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "config/settings_backend.h"

namespace vek {

namespace {

constexpr const char* kKey = "delay";
constexpr const char* kPortKey = "port";
constexpr const char* kTraceKey = "trace";
constexpr const char* kTraceFramesKey = "trace_frames";

// Windows numbers serial ports up to COM255, and a USB adapter may well sit above the scanned
// COM1 to COM127: a key may name any of them.
constexpr uint32_t kHighestPort = 255;

// Holds any sensible value of a number key with room to spare; a longer value is not a number.
constexpr std::size_t kNumberTextSize = 32;

// Sized for "korvanex-vek-driver-4294967295" and its terminator.
struct SectionName {
    char text[40];
};

SectionName section_for(uint32_t number) {
    SectionName name{};
    std::snprintf(name.text, sizeof name.text, "korvanex-vek-driver-%u", number);
    return name;
}

// A missing path must not fall through to the platform, which would pick a file of its own
// (win.ini on Windows): it reads as a missing file and is never written.
bool usable(const char* path) { return path != nullptr && path[0] != '\0'; }

// Plain decimal digits and nothing else, at most limit. The host's own reading of numbers
// (GetPrivateProfileIntA) would take "12x" as 12 and "-3" as a huge number; a port named by
// mistake must not be probed.
bool read_decimal(const char* text, uint32_t limit, uint32_t& value) {
    if (text[0] == '\0') return false;
    uint32_t total = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        total = total * 10 + static_cast<uint32_t>(*c - '0');
        if (total > limit) return false;  // checked at each digit, so it never wraps
    }
    value = total;
    return true;
}

// Appends "key="value" <why>" to the note; value null when it was too long to read.
void add_note(LinkSettings& settings, const char* key, const char* value, const char* why) {
    char shown[24] = "...";
    if (value != nullptr) {
        std::size_t n = 0;
        for (; value[n] != '\0' && n + 1 < sizeof shown; ++n) {
            const char c = value[n];
            shown[n] = (c >= ' ' && c <= '~') ? c : '?';
        }
        shown[n] = '\0';
        if (value[n] != '\0') std::memcpy(shown + n - 3, "...", 4);
    }
    const std::size_t used = std::strlen(settings.note);
    std::snprintf(settings.note + used, sizeof settings.note - used, "%s%s=\"%s\" %s", used != 0 ? "; " : "", key,
                  shown, why);
}

void load_port(LinkSettings& settings, const char* section, const char* path) {
    char text[kNumberTextSize];
    // First in the note: a start that refuses the key tells the note as its reason.
    const char* why = "is not a port number from 1 to 255";
    if (profile_read_text(section, kPortKey, text, sizeof text, path) == ProfileText::too_long) {
        add_note(settings, kPortKey, nullptr, why);
        settings.port_unusable = true;
        return;
    }
    if (text[0] == '\0' || std::strcmp(text, "0") == 0) return;
    uint32_t port = 0;
    if (read_decimal(text, kHighestPort, port) && port != 0) {
        settings.port = port;
        return;
    }
    add_note(settings, kPortKey, text, why);
    settings.port_unusable = true;
}

void load_trace(LinkSettings& settings, const char* section, const char* path) {
    // One more than the longest path: the reader's buffer must hold it and its terminator, and
    // a value of buffer size - 1 characters is read as too long.
    char text[kTracePathMax + 2];
    if (profile_read_text(section, kTraceKey, text, sizeof text, path) == ProfileText::too_long)
        add_note(settings, kTraceKey, nullptr, "ignored: longer than a path can be; no trace");
    else
        std::memcpy(settings.trace_path, text, std::strlen(text) + 1);

    char frames[kNumberTextSize];
    if (profile_read_text(section, kTraceFramesKey, frames, sizeof frames, path) == ProfileText::too_long) {
        add_note(settings, kTraceFramesKey, nullptr, "ignored: only 1 turns it on");
        return;
    }
    settings.trace_frames = std::strcmp(frames, "1") == 0;
    if (!settings.trace_frames && frames[0] != '\0' && std::strcmp(frames, "0") != 0)
        add_note(settings, kTraceFramesKey, frames, "ignored: only 1 turns it on");
}

}  // namespace

uint32_t load_settings(const char* path, uint32_t number) {
    if (!usable(path)) return kDefaultDelayMs;
    return profile_read_uint(section_for(number).text, kKey, kDefaultDelayMs, path);
}

LinkSettings load_link_settings(const char* path, uint32_t number) {
    LinkSettings settings;
    if (!usable(path)) return settings;
    const SectionName section = section_for(number);
    load_port(settings, section.text, path);
    load_trace(settings, section.text, path);
    return settings;
}

void save_settings(const char* path, uint32_t number, uint32_t delay_ms) {
    if (!usable(path)) return;
    char text[16];
    std::snprintf(text, sizeof text, "%u", delay_ms);
    profile_write_string(section_for(number).text, kKey, text, path);
}

}  // namespace vek
