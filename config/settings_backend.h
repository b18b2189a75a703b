// The platform's private-profile functions, as the settings use them. Windows has them built
// in; elsewhere the project's own INI store reads and writes the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

// As GetPrivateProfileIntA(section, key, fallback, path).
uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path);

enum class ProfileText { ok, too_long };

// As GetPrivateProfileStringA(section, key, "", buffer, size, path), with its truncation made
// plain: buffer receives the value (empty when the file, the section or the key is missing), or
// the result is too_long and buffer is empty when the value has size - 1 characters or more. The
// platform returns size - 1 both for a value cut short and for one that just fits, so a value
// that long never reads as whole. size is at least 2.
ProfileText profile_read_text(const char* section, const char* key, char* buffer, std::size_t size, const char* path);

// As WritePrivateProfileStringA(section, key, value, path); false when the file was not written.
bool profile_write_string(const char* section, const char* key, const char* value, const char* path);

}  // namespace vek
