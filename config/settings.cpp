#include "config/settings.h"

#include <cstdio>

#include "config/settings_backend.h"

namespace vek {

namespace {

constexpr const char* kKey = "delay";

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

}  // namespace

uint32_t load_settings(const char* path, uint32_t number) {
    if (!usable(path)) return kDefaultDelayMs;
    return profile_read_uint(section_for(number).text, kKey, kDefaultDelayMs, path);
}

void save_settings(const char* path, uint32_t number, uint32_t delay_ms) {
    if (!usable(path)) return;
    char text[16];
    std::snprintf(text, sizeof text, "%u", delay_ms);
    profile_write_string(section_for(number).text, kKey, text, path);
}

}  // namespace vek
