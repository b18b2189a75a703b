#include "panel/session/record_file.h"

#include <cerrno>
#include <cstring>

namespace vek::panel {

// Windows has no FIFO to wait on; a plain append is as good as the POSIX non-blocking open.
FILE* open_record_file(const std::string& path, const std::string& what, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) *error = "cannot open the " + what + " " + path + ": " + std::strerror(errno);
    return file;
}

bool record_file_empty(FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    return std::ftell(file) == 0;
}

}  // namespace vek::panel
