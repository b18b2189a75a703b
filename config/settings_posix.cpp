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

// Under the file's lock, so that another program updating its own section at the same time
// never has its update reverted (see update_whole_file). A file that cannot be read is not
// replaced by one that lacks its contents.
bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    return update_whole_file(path, [&](const std::string& file) { return ini_write_value(file, section, key, value); });
}

}  // namespace vek
