// Each instance's poll delay, kept in the host's configuration file: key "delay" in the section
// "korvanex-vek-driver-<number>", read and written at config_path, the path the host passed last.
// A null or empty path reads as a missing file and is never written.
#pragma once

#include <cstdint>

namespace vek {

constexpr uint32_t kDefaultDelayMs = 50;

// The stored delay, or 50 when the file, the section or the key is missing. Never fails.
uint32_t load_settings(const char* config_path, uint32_t number);

// Writes the delay as unsigned decimal text. A failed write leaves the file as it was and is not
// reported: the command that saves returns 0 either way.
void save_settings(const char* config_path, uint32_t number, uint32_t delay_ms);

}  // namespace vek
