// Each instance's poll delay, kept in the host's configuration file: key "delay" in the section
// "korvanex-vek-driver-<number>", read and written at the path the host passed last.
#pragma once

#include <cstdint>

constexpr uint32_t kDefaultDelayMs = 50;

// The stored delay, or 50 when the file, the section or the key is missing. Never fails.
uint32_t load_settings(uint32_t number);

// Writes the delay as unsigned decimal text. A failed write leaves the file as it was and is not
// reported: the command that saves returns 0 either way.
void save_settings(uint32_t number, uint32_t delay_ms);
