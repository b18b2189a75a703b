#include <windows.h>

#include "config/settings_backend.h"

namespace vek {

uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path) {
    return GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path);
}

ProfileText profile_read_text(const char* section, const char* key, char* buffer, std::size_t size, const char* path) {
    const DWORD length = GetPrivateProfileStringA(section, key, "", buffer, static_cast<DWORD>(size), path);
    if (length >= size - 1) {  // cut short, or just fitting: the two cannot be told apart
        buffer[0] = '\0';
        return ProfileText::too_long;
    }
    return ProfileText::ok;
}

bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

}  // namespace vek
