#include "card_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "card_clock.h"

namespace {

FILE* refuse(const std::string& path, const std::string& why, std::string* error) {
    *error = "cannot open the log " + path + ": " + why;
    return nullptr;
}

// Seven bytes in hex, each followed by a space, from at; the caller has checked the length.
bool hex_bytes_follow(const std::string& line, std::size_t at) {
    for (std::size_t byte = 0, i = at; byte < 7; ++byte, i += 3) {
        if (std::isxdigit(static_cast<unsigned char>(line[i])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(line[i + 1])) == 0 || line[i + 2] != ' ') {
            return false;
        }
    }
    return true;
}

// Whether text matches the pattern, where 'd' is any digit and '+' either sign.
bool matches(const std::string& text, std::size_t at, const char* pattern) {
    for (; *pattern != '\0'; ++pattern, ++at) {
        if (at >= text.size()) return false;
        const char c = text[at];
        const bool ok = *pattern == 'd'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                        : *pattern == '+' ? c == '+' || c == '-'
                                          : c == *pattern;
        if (!ok) return false;
    }
    return true;
}

constexpr char kStamp[] = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd ";

// A header line, or the front of a frame's line: the wall clock's time (logs of earlier versions
// have none), "<ms>.<3 digits>" since the start, and seven bytes in hex.
bool is_log_line(const std::string& line) {
    if (matches(line, 0, "# ") && matches(line, 2, kStamp)) return true;
    std::size_t at = matches(line, 0, kStamp) ? sizeof kStamp - 1 : 0;
    const std::size_t ms = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])) != 0) ++at;
    if (at == ms || line.size() < at + 5 + 7 * 3 || line[at] != '.' || line[at + 4] != ' ') return false;
    for (std::size_t i = at + 1; i < at + 4; ++i) {
        if (std::isdigit(static_cast<unsigned char>(line[i])) == 0) return false;
    }
    return hex_bytes_follow(line, at + 5);
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

FILE* open_card_log(const std::string& path, const std::string& header, std::string* error) {
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
    } else if (std::fprintf(log, "# %s %s\n", card_log_time(monotonic_ns()).c_str(), header.c_str()) < 0 ||
               std::fflush(log) != 0) {
        refuse(path, std::strerror(errno), error);
        std::fclose(log);
        log = nullptr;
    }
    return log;
}

std::string card_log_time(int64_t monotonic_at_ns) {
    timespec wall{};
    if (::clock_gettime(CLOCK_REALTIME, &wall) != 0) return "?";
    // The frame's moment on the wall clock: now, less how long ago it was on the steady clock.
    const int64_t wall_ns =
        static_cast<int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec - (monotonic_ns() - monotonic_at_ns);
    const std::time_t seconds = static_cast<std::time_t>(wall_ns / 1000000000);
    std::tm local{};
    char text[64];
    if (::localtime_r(&seconds, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return "?";
    }
    const long offset_min = local.tm_gmtoff / 60;
    const long size = offset_min < 0 ? -offset_min : offset_min;
    char rest[32];
    std::snprintf(rest, sizeof rest, ".%03d%c%02ld:%02ld", static_cast<int>((wall_ns / 1000000) % 1000),
                  offset_min < 0 ? '-' : '+', size / 60, size % 60);
    return std::string(text) + rest;
}

void log_frame(FILE* log, const ReceivedFrame& frame) {
    // The wall clock's time lines up with other records; the card's own clock, to the µs, times
    // the frames against each other.
    std::fprintf(log, "%s %.3f", card_log_time(frame.at_monotonic_ns).c_str(), frame.at_ms);
    for (uint8_t byte : frame.bytes) std::fprintf(log, " %02X", byte);
    std::fprintf(log, " %s\n", frame.valid ? "valid" : "invalid");
    std::fflush(log);
}
