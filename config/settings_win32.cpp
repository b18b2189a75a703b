#include <windows.h>

#include "config/settings_backend.h"

namespace vek {

uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path) {
    return GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path);
}

bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

}  // namespace vek
