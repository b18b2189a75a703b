// Whole-file reads and updates on POSIX: the file's lock, the check that nobody wrote it since it
// was read, and the choice between replacing it by a rename and rewriting it in place.
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "config/whole_file.h"
#include "config/whole_file_posix.h"

namespace vek {

namespace {

// Other programs may hold the lock, and replace the file, for as long as their own saves take;
// past this, the save fails.
constexpr long kLockTimeoutMs = 5000;
constexpr long kLockPollMs = 2;
// Reads and changes again after a program that does not lock wrote the file in between, up to
// this often.
constexpr int kAttempts = 8;

long now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Blocks SIGXFSZ on the calling thread for its scope. A write past the file-size limit (ulimit -f,
// LimitFSIZE=) raises it, and its default action ends the process, the host's with its card's
// outputs on; blocked, the write fails with EFBIG instead and the save is refused. The process's
// own handling of the signal is left alone: the host's. A signal the scope's writes left pending
// is taken before it ends, so it is never delivered afterwards.
class FileSizeSignalHeld {
public:
    FileSizeSignalHeld() {
        sigemptyset(&signal_);
        sigaddset(&signal_, SIGXFSZ);
        held_ = pthread_sigmask(SIG_BLOCK, &signal_, &before_) == 0 && sigismember(&before_, SIGXFSZ) == 0;
    }
    ~FileSizeSignalHeld() {
        if (!held_) return;  // blocked already by the host, whose pending signal it is
        const timespec now{0, 0};
        while (sigtimedwait(&signal_, nullptr, &now) == SIGXFSZ) {
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    FileSizeSignalHeld(const FileSizeSignalHeld&) = delete;
    FileSizeSignalHeld& operator=(const FileSizeSignalHeld&) = delete;

private:
    sigset_t signal_;
    sigset_t before_;
    bool held_ = false;
};

// Follows symbolic links to the file that holds the bytes, which may not exist yet.
bool resolve_links(const char* path, std::string& target) {
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return true;
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link - 1);
        if (n <= 0) return false;
        const std::string to(link, static_cast<std::size_t>(n));
        target = (to.front() == '/') ? to : folder_of(target) + "/" + to;
    }
    return false;  // a loop of links
}

bool read_from_start(int fd, std::string& out) {
    out.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(out.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool lock_within_deadline(int fd, long give_up_ms) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (now_ms() >= give_up_ms) return false;
        const timespec pause{0, kLockPollMs * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
}

enum class Locked { ok, replaced, failed };
// What one read, change and write under the lock did: as FileWrite, or the file was replaced
// before it could be locked.
struct Updated {
    FileWrite wrote;
    bool replaced;
};

// Opens the file at target for writing, creating it as any new file is made, and takes its lock.
// replaced when another save replaced it while this one waited for the lock: the lock then
// guards a file nobody reads any more, and the new one must be locked instead.
Locked open_locked(const std::string& target, Descriptor& file, struct stat& st, bool& created, long give_up_ms) {
    file.fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    created = file.fd >= 0;
    // Non-blocking, so that a FIFO put at the name cannot hold the host's thread in open().
    if (!created && errno == EEXIST) file.fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return Locked::failed;
    // A device or a FIFO is not a settings file; one nobody may write stays as it is, even for
    // root, as the platform's profile functions leave a read-only file.
    if (!S_ISREG(st.st_mode) || (!created && (st.st_mode & 0222) == 0)) return Locked::failed;
    if (!lock_within_deadline(file.fd, give_up_ms)) return Locked::failed;
    struct stat named {};
    if (::stat(target.c_str(), &named) != 0) return errno == ENOENT ? Locked::replaced : Locked::failed;
    if (named.st_dev != st.st_dev || named.st_ino != st.st_ino) return Locked::replaced;
    return ::fstat(file.fd, &st) == 0 ? Locked::ok : Locked::failed;
}

// Rewrites the file through its open descriptor: owner, mode, links and folder stay as they
// are. Not safe against a crash as a rename is; a write that fails puts the old bytes back.
FileWrite write_in_place(int fd, const struct stat& read, const std::string& old, const std::string& bytes) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) return FileWrite::failed;
    if (!same_file_state(now, read)) return FileWrite::changed;
    const auto put = [fd](const std::string& text) {
        return write_all_at(fd, text) && ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fsync(fd) == 0;
    };
    if (put(bytes)) return FileWrite::done;
    put(old);  // the best that can be done; the save fails either way
    return FileWrite::failed;
}

// One read, change and write under the file's lock.
Updated update_once(const std::string& target, const FileChange& change, long give_up_ms) {
    Descriptor file(-1);
    struct stat st {};
    bool created = false;
    const Locked locked = open_locked(target, file, st, created, give_up_ms);
    if (locked != Locked::ok) return {FileWrite::failed, locked == Locked::replaced};
    sweep_stale_temporaries(target);
    std::string old;
    if (!read_from_start(file.fd, old)) return {FileWrite::failed, false};
    const std::optional<std::string> bytes = change(old);
    if (!bytes) return {FileWrite::done, false};
    // Another link to the file would keep the old bytes after a rename.
    FileWrite wrote = st.st_nlink > 1 ? FileWrite::in_place : replace_by_rename(target, st, *bytes);
    if (wrote == FileWrite::in_place) wrote = write_in_place(file.fd, st, old, *bytes);
    // A file made for this save and not written is not left behind empty.
    if (wrote == FileWrite::failed && created) ::unlink(target.c_str());
    return {wrote, false};
}

}  // namespace

FileRead read_whole_file(const char* path, std::string& out) {
    out.clear();
    // Non-blocking, so that a path naming a FIFO cannot hold the host's thread in open().
    Descriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0)
        return (errno == ENOENT || errno == ENOTDIR || errno == EISDIR) ? FileRead::missing : FileRead::failed;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return FileRead::failed;
    if (S_ISDIR(st.st_mode)) return FileRead::missing;
    // A device or a FIFO could be read forever; only a regular file holds settings.
    if (!S_ISREG(st.st_mode)) return FileRead::failed;
    return read_from_start(file.fd, out) ? FileRead::ok : FileRead::failed;
}

bool update_whole_file(const char* path, const FileChange& change) {
    std::string target;
    if (!resolve_links(path, target)) return false;
    const FileSizeSignalHeld held;
    const long give_up_ms = now_ms() + kLockTimeoutMs;
    for (int changes = 0;;) {
        // Replaced by another locking save while this one waited: its turn comes, within the bound.
        const Updated updated = update_once(target, change, give_up_ms);
        if (updated.replaced && now_ms() < give_up_ms) continue;
        if (updated.wrote == FileWrite::changed && ++changes < kAttempts) continue;
        return updated.wrote == FileWrite::done;
    }
}

bool rewrite_whole_file_in_place(const char* path, std::string_view bytes) {
    std::string target;
    if (!resolve_links(path, target)) return false;
    const FileSizeSignalHeld held;
    Descriptor file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!lock_within_deadline(file.fd, now_ms() + kLockTimeoutMs)) return false;
    return write_all_at(file.fd, std::string(bytes)) && ::ftruncate(file.fd, static_cast<off_t>(bytes.size())) == 0 &&
           ::fsync(file.fd) == 0;
}

bool replace_whole_file(const char* path, std::string_view bytes) {
    return update_whole_file(path, [bytes](const std::string&) { return std::optional<std::string>(bytes); });
}

}  // namespace vek
