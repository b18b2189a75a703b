#include <cstring>
#include <string>

#include "config/ini_text.h"
#include "config/settings_backend.h"
#include "config/whole_file.h"

namespace vek {

uint32_t profile_read_uint(const char* section, const char* key, uint32_t fallback, const char* path) {
    std::string file;
    if (read_whole_file(path, file) != FileRead::ok) return fallback;
    return ini_read_uint(file, section, key, fallback);
}

ProfileText profile_read_text(const char* section, const char* key, char* buffer, std::size_t size, const char* path) {
    buffer[0] = '\0';
    std::string file;
    if (read_whole_file(path, file) != FileRead::ok) return ProfileText::ok;
    const std::optional<std::string> value = ini_read_text(file, section, key);
    if (!value) return ProfileText::ok;
    if (value->size() >= size - 1) return ProfileText::too_long;
    std::memcpy(buffer, value->c_str(), value->size() + 1);
    return ProfileText::ok;
}

bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    std::string file;
    // A file that cannot be read must not be replaced by one that lacks its contents.
    if (read_whole_file(path, file) == FileRead::failed) return false;
    const auto changed = ini_write_value(file, section, key, value);
    if (!changed) return true;  // the stored text already says so
    return replace_whole_file(path, *changed);
}

}  // namespace vek
