#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "config/whole_file.h"

namespace vek {

namespace {

// Closes a descriptor on every way out of a function.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        const int value = fd;
        fd = -1;
        return value;
    }
};

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

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string temporary_name(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%u", static_cast<long>(::getpid()), counter.fetch_add(1));
    const std::size_t slash = target.rfind('/');
    const std::size_t name_at = (slash == std::string::npos) ? 0 : slash + 1;
    // A dot in front keeps the temporary file out of plain directory listings.
    return target.substr(0, name_at) + "." + target.substr(name_at) + suffix;
}

// Makes the new name durable too; a failure here leaves a complete file, so it is not an error.
void sync_folder(const std::string& target) {
    Descriptor dir(::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) ::fsync(dir.fd);
}

bool write_new_file(const std::string& temp, std::string_view bytes, const struct stat* old) {
    // 0666 before the umask, as a newly created file would get.
    Descriptor file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.fd < 0) return false;
    if (old != nullptr) {
        if (::fchmod(file.fd, old->st_mode & 07777) != 0) return false;
        // Only the owner or root may give a file away; anyone else keeps the file as theirs.
        if (::fchown(file.fd, old->st_uid, old->st_gid) != 0 && errno != EPERM) return false;
    }
    if (!write_all(file.fd, bytes)) return false;
    if (::fsync(file.fd) != 0) return false;
    return ::close(file.release()) == 0;
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
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FileRead::failed;
        if (n == 0) return FileRead::ok;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool replace_whole_file(const char* path, std::string_view bytes) {
    std::string target;
    if (!resolve_links(path, target)) return false;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) return false;

    const std::string temp = temporary_name(target);
    const FileSizeSignalHeld held;
    if (!write_new_file(temp, bytes, exists ? &old : nullptr) || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    sync_folder(target);
    return true;
}

}  // namespace vek
