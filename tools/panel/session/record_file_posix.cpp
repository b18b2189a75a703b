#include "panel/session/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vek::panel {

FILE* open_record_file(const std::string& path, const std::string& what, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    FILE* file = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
        *error = "cannot open the " + what + " " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return file;
}

bool record_file_empty(FILE* file) {
    struct stat st {};
    return ::fstat(::fileno(file), &st) == 0 && st.st_size == 0;
}

}  // namespace vek::panel
