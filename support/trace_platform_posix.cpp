#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/trace_platform.h"

namespace vek {

const char kTraceLineEnd[] = "\n";

TraceIo trace_file_open(const char* path, bool truncate, TraceFile& file) {
    // Non-blocking for the open alone: a FIFO with no reader must fail, not hold up the start.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (truncate ? O_TRUNC : 0);
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) return {false, static_cast<TraceError>(errno)};
    struct stat info {};
    const bool ready = fcntl(fd, F_SETFL, O_APPEND) == 0 && fstat(fd, &info) == 0;
    if (!ready) {
        const TraceIo failed{false, static_cast<TraceError>(errno)};
        ::close(fd);
        return failed;
    }
    file.handle = fd;
    file.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    return {true, 0};
}

TraceIo trace_file_write(TraceFile& file, const char* bytes, std::size_t n) {
    const int fd = static_cast<int>(file.handle);
    while (n > 0) {
        const ssize_t done = ::write(fd, bytes, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return {false, done < 0 ? static_cast<TraceError>(errno) : static_cast<TraceError>(EIO)};
        bytes += done;
        n -= static_cast<std::size_t>(done);
    }
    return {true, 0};
}

void trace_file_close(TraceFile& file) {
    if (file.handle < 0) return;
    ::close(static_cast<int>(file.handle));  // nothing to do about a failure: the lines were written
    file.handle = -1;
    file.size = 0;
}

TraceRenamed trace_file_rename(const char* from, const char* to) {
    if (::rename(from, to) == 0) return {TraceRename::moved, 0};
    return {errno == ENOENT ? TraceRename::missing : TraceRename::failed, static_cast<TraceError>(errno)};
}

TraceIo trace_writer_thread_begins() {
    // A write to a FIFO whose reader has gone raises SIGPIPE, which ends the process unless the
    // host handles it. Blocked on this thread alone, the write fails with EPIPE instead, and the
    // host's own handling of the signal is left as it was.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    const int failed = pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    return {failed == 0, static_cast<TraceError>(failed)};
}

uint64_t trace_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // cannot fail with a valid clock and pointer
    return static_cast<uint64_t>(now.tv_sec) * 1000000U + static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

void trace_local_time(uint64_t stamp, char (&text)[kTraceTimeChars + 1]) {
    const auto seconds = static_cast<time_t>(stamp / 1000000U);
    const auto ms = static_cast<unsigned>(stamp % 1000000U / 1000U);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        std::snprintf(text, sizeof text, "%-23s", "(no local time)");
        return;
    }
    // Room for any int the fields could hold; the fields of a real date fill exactly 23.
    char full[80];
    std::snprintf(full, sizeof full, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
    const std::size_t n = std::min(std::strlen(full), kTraceTimeChars);
    std::memcpy(text, full, n);
    text[n] = '\0';
}

void trace_error_text(TraceError error, char* text, std::size_t room) {
    if (room == 0) return;
    text[0] = '\0';
    if (error == 0) return;
    char buffer[96];
    // The GNU strerror_r, which glibc gives C++: it may return a static text of its own.
    std::snprintf(text, room, " (%s)", strerror_r(static_cast<int>(error), buffer, sizeof buffer));
}

}  // namespace vek
