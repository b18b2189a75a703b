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

bool profile_write_string(const char* section, const char* key, const char* value, const char* path) {
    std::string file;
    // A file that cannot be read must not be replaced by one that lacks its contents.
    if (read_whole_file(path, file) == FileRead::failed) return false;
    const auto changed = ini_write_value(file, section, key, value);
    if (!changed) return true;  // the stored text already says so
    return replace_whole_file(path, *changed);
}

}  // namespace vek
