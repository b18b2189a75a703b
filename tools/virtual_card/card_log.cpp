#include "card_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

FILE* refuse(const std::string& path, const std::string& why, std::string* error) {
    *error = "cannot open the log " + path + ": " + why;
    return nullptr;
}

// "<ms>.<3 digits> " and seven bytes in hex: the front of a log line.
bool is_log_line(const std::string& line) {
    std::size_t at = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) != 0) ++at;
    if (at == 0 || line.size() < at + 5 + 7 * 3 || line[at] != '.' || line[at + 4] != ' ') return false;
    for (std::size_t i = at + 1; i < at + 4; ++i) {
        if (std::isdigit(static_cast<unsigned char>(line[i])) == 0) return false;
    }
    for (std::size_t byte = 0, i = at + 5; byte < 7; ++byte, i += 3) {
        if (std::isxdigit(static_cast<unsigned char>(line[i])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(line[i + 1])) == 0 || line[i + 2] != ' ') {
            return false;
        }
    }
    return true;
}

// Empty when the open file may take log lines, or why not; a newline ends an unfinished line.
std::string adopt(int fd, off_t size) {
    if (size == 0) return {};
    char head[128];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    const std::string text(head, got > 0 ? static_cast<std::size_t>(got) : 0);
    if (!is_log_line(text.substr(0, text.find('\n')))) {
        return "it holds something else, not a card's frame log. Name a new file, or an earlier log";
    }
    char last = '\n';
    if (::pread(fd, &last, 1, size - 1) != 1) return std::strerror(errno);
    if (last != '\n' && ::write(fd, "\n", 1) != 1) return std::strerror(errno);
    return {};
}

}  // namespace

FILE* open_card_log(const std::string& path, std::string* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return refuse(path, "it is a symbolic link; name the file itself", error);
        if (!S_ISREG(st.st_mode)) return refuse(path, "it is not a regular file", error);
    }
    // O_NOFOLLOW: a link planted since the look above is not followed either.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return refuse(path, std::strerror(errno), error);
    std::string why = ::fstat(fd, &st) != 0 ? std::strerror(errno) : !S_ISREG(st.st_mode) ? "it is not a regular file" : "";
    if (why.empty()) why = adopt(fd, st.st_size);
    FILE* log = why.empty() ? ::fdopen(fd, "a") : nullptr;
    if (log == nullptr) {
        refuse(path, why.empty() ? std::strerror(errno) : why, error);
        ::close(fd);
    }
    return log;
}

void log_frame(FILE* log, const ReceivedFrame& frame) {
    std::fprintf(log, "%.3f", frame.at_ms);
    for (uint8_t byte : frame.bytes) std::fprintf(log, " %02X", byte);
    std::fprintf(log, " %s\n", frame.valid ? "valid" : "invalid");
    std::fflush(log);
}
