#include "host/settings.h"

#include <cstdio>

#include "host/module_state.h"
#include "host/settings_backend.h"

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
const char* settings_path() {
    const char* path = module_state().config_path;
    return (path != nullptr && path[0] != '\0') ? path : nullptr;
}

}  // namespace

uint32_t load_settings(uint32_t number) {
    const char* path = settings_path();
    if (path == nullptr) return kDefaultDelayMs;
    return profile_read_uint(section_for(number).text, kKey, kDefaultDelayMs, path);
}

void save_settings(uint32_t number, uint32_t delay_ms) {
    const char* path = settings_path();
    if (path == nullptr) return;
    char text[16];
    std::snprintf(text, sizeof text, "%u", delay_ms);
    profile_write_string(section_for(number).text, kKey, text, path);
}
