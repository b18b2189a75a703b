#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "support/trace_platform.h"

namespace vek {

const char kTraceLineEnd[] = "\n";

namespace {

// The file-size limit's signal (RLIMIT_FSIZE, systemd's LimitFSIZE=) ends the process unless
// handled; the trace's writer keeps it blocked, so a write past the limit only fails with EFBIG.
// The signal the failed write left pending is taken here, so it never reaches the host.
void consume_pending_file_size_signal() {
    sigset_t file_size;
    sigemptyset(&file_size);
    sigaddset(&file_size, SIGXFSZ);
    const timespec now{0, 0};
    while (sigtimedwait(&file_size, nullptr, &now) == SIGXFSZ) {
    }
}

TraceOpened refused(TraceRefusal why, int fd) {
    ::close(fd);
    return {why, 0};
}

}  // namespace

TraceOpened trace_file_open(const char* path, TraceFile& file) {
    // Opening a device can do something (a serial port raises its lines), so what the name holds
    // is checked before; the checks on the open descriptor below hold if the name changes.
    struct stat named {};
    if (::lstat(path, &named) == 0 && !S_ISREG(named.st_mode))
        return {S_ISLNK(named.st_mode) ? TraceRefusal::link : TraceRefusal::not_regular, 0};
    // Read too, for a look at the file's first line. Non-blocking for the open alone: a FIFO
    // put at the name must not hold up the start.
    const int flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) return {errno == ELOOP ? TraceRefusal::link : TraceRefusal::system, static_cast<TraceError>(errno)};
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {TraceRefusal::system, static_cast<TraceError>(errno)};
    if (!S_ISREG(info.st_mode)) return refused(TraceRefusal::not_regular, fd);
    // Advisory, as every lock on Linux: it keeps out another trace, which asks the same.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return {error == EWOULDBLOCK ? TraceRefusal::in_use : TraceRefusal::system, static_cast<TraceError>(error)};
    }
    if (::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        const int error = errno;
        ::close(fd);
        return {TraceRefusal::system, static_cast<TraceError>(error)};
    }
    file.handle = fd;
    file.size = static_cast<uint64_t>(info.st_size);
    return {TraceRefusal::none, 0};
}

std::size_t trace_file_read_start(TraceFile& file, char* bytes, std::size_t n) {
    const ssize_t done = ::pread(static_cast<int>(file.handle), bytes, n, 0);
    return done > 0 ? static_cast<std::size_t>(done) : 0;
}

TraceIo trace_file_write(TraceFile& file, const char* bytes, std::size_t n) {
    const int fd = static_cast<int>(file.handle);
    struct stat before {};
    if (::fstat(fd, &before) != 0) return {false, static_cast<TraceError>(errno)};
    while (n > 0) {
        const ssize_t done = ::write(fd, bytes, n);
        if (done < 0 && errno == EINTR) continue;
        if (done > 0) {
            bytes += done;
            n -= static_cast<std::size_t>(done);
            continue;
        }
        const TraceError error = done < 0 ? static_cast<TraceError>(errno) : static_cast<TraceError>(EIO);
        consume_pending_file_size_signal();
        // Back to the end of the last whole line: only what this call appended is cut. Should
        // that fail too, its error is the one told: a torn line is left.
        const bool cut = ::ftruncate(fd, before.st_size) == 0;
        return {false, cut ? error : static_cast<TraceError>(errno)};
    }
    return {true, 0};
}

bool trace_absolute_path(const char* path, std::string& absolute) {
    if (path[0] == '/') {
        absolute = path;
        return true;
    }
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder) == nullptr) return false;
    absolute = std::string(folder) + (folder[1] == '\0' ? "" : "/") + path;
    return true;
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

namespace {

struct ThreadStart {
    void (*run)(void*);
    void* argument;
};

void* enter(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.run(start.argument);
    return nullptr;
}

}  // namespace

bool trace_thread_start(void (*run)(void* argument), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{run, argument};
    if (start == nullptr) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, enter, start) != 0) {
        delete start;
        return false;
    }
    pthread_detach(thread);  // it ends by itself; nothing to check on a thread just made
    return true;
}

TraceIo trace_writer_thread_begins() {
    // A write past the file-size limit raises SIGXFSZ, and one to a broken pipe SIGPIPE; either
    // ends the process unless the host handles it. Blocked on this thread alone, the write fails
    // with EFBIG or EPIPE instead, and the host's own handling of the signals is left as it was.
    sigset_t write_signals;
    sigemptyset(&write_signals);
    sigaddset(&write_signals, SIGPIPE);
    sigaddset(&write_signals, SIGXFSZ);
    const int failed = pthread_sigmask(SIG_BLOCK, &write_signals, nullptr);
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
