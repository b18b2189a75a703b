// The platform's private-profile functions, as the settings use them. Windows has them built
// in; elsewhere the project's own INI store reads and writes the same way.
#pragma once

#include <cstdint>

namespace vek {

// As GetPrivateProfileIntA(section, key, fallback, path).
uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path);

// As WritePrivateProfileStringA(section, key, value, path); false when the file was not written.
bool profile_write_string(const char* section, const char* key, const char* value, const char* path);

}  // namespace vek
