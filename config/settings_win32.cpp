#include <windows.h>

#include <cstring>
#include <string>

#include "config/ini_text.h"
#include "config/settings_backend.h"
#include "config/whole_file.h"

namespace vek {

namespace {

// Windows' profile functions take a UTF-8 byte-order mark for part of the first line, so a section
// named there is never found, and a write adds a second one after it. An editor that saves
// "UTF-8 with BOM" makes such a file: it is read and written here by the INI store, as the user
// meant it; any other file goes to the platform's functions. The file is read again each time,
// as the platform does.
bool bom_led(const char* path, std::string& file) {
    if (path == nullptr || *path == '\0') return false;  // the platform's own choice of file
    return read_whole_file(path, file) == FileRead::ok && file.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

}  // namespace

uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path) {
    std::string file;
    if (bom_led(path, file)) return ini_read_uint(file, section, key, fallback);
    return GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), path);
}

ProfileText profile_read_text(const char* section, const char* key, char* buffer, std::size_t size, const char* path) {
    std::string file;
    if (bom_led(path, file)) {
        buffer[0] = '\0';
        const std::optional<std::string> value = ini_read_text(file, section, key);
        if (!value) return ProfileText::ok;
        if (value->size() >= size - 1) return ProfileText::too_long;  // as the platform's cut reads
        std::memcpy(buffer, value->c_str(), value->size() + 1);
        return ProfileText::ok;
    }
    const DWORD length = GetPrivateProfileStringA(section, key, "", buffer, static_cast<DWORD>(size), path);
    if (length >= size - 1) {  // cut short, or just fitting: the two cannot be told apart
        buffer[0] = '\0';
        return ProfileText::too_long;
    }
    return ProfileText::ok;
}

bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    std::string file;
    if (bom_led(path, file)) {
        return update_whole_file(path, [&](const std::string& bytes) { return ini_write_value(bytes, section, key, value); });
    }
    return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

}  // namespace vek
