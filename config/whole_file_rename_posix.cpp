// The crash-safe half of the POSIX whole-file update: the new bytes go to a temporary file beside
// the old one, which is synced and renamed over it, so that a reader or a crash sees the old file
// or the new one, never a mix. Temporary files are ".<name>.tmp-<pid>-<random>", created 0600
// whatever the umask; those of processes that have ended (killed during a save) are swept.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/whole_file_posix.h"

namespace vek {

namespace {

constexpr char kTemporaryMark[] = ".tmp-";
// Names tried when one is taken: random names meet only by a hostile plan.
constexpr int kNameTries = 8;

// "<folder>/.<name>.tmp-": a dot keeps temporary files out of plain listings.
std::string temporary_prefix(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::size_t name_at = (slash == std::string::npos) ? 0 : slash + 1;
    return target.substr(0, name_at) + "." + target.substr(name_at) + kTemporaryMark;
}

uint64_t random_bits() {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
    // Without the kernel's randomness: distinct enough within the process, and O_EXCL decides.
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(now.tv_sec) ^ counter.fetch_add(1);
}

// A new temporary file of target's, 0600 whatever the umask until its mode is set: a copy left
// by a kill tells nothing to those the file would not. Only a name this call created is ever
// given back, and so ever removed. -1 with errno when none could be made.
int create_temporary(const std::string& target, std::string& name) {
    const std::string prefix = temporary_prefix(target);
    for (int tries = 0; tries < kNameTries; ++tries) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%ld-%016llx", static_cast<long>(::getpid()),
                      static_cast<unsigned long long>(random_bits()));
        name = prefix + suffix;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 && ::fchmod(fd, 0600) == 0) return fd;
        if (fd >= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(name.c_str());
            errno = error;
            return -1;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Gives the new file the old one's owner and mode, so the rename changes neither. Only the
// owner or root may give a file away: in_place when the rename would change the owner.
FileWrite take_owner_and_mode(int fd, const struct stat& read) {
    if (::fchown(fd, read.st_uid, read.st_gid) != 0) return errno == EPERM ? FileWrite::in_place : FileWrite::failed;
    return ::fchmod(fd, read.st_mode & 07777) == 0 ? FileWrite::done : FileWrite::failed;
}

FileWrite write_temporary(int fd, const struct stat& read, const std::string& bytes) {
    if (!write_all_at(fd, bytes)) return FileWrite::failed;
    const FileWrite owned = take_owner_and_mode(fd, read);
    if (owned != FileWrite::done) return owned;
    return ::fsync(fd) == 0 ? FileWrite::done : FileWrite::failed;
}

// Makes the new name durable too; a failure here leaves a complete file, so it is not an error.
void sync_folder(const std::string& target) {
    Descriptor dir(::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) ::fsync(dir.fd);
}

// The process whose id a temporary file's name carries has ended.
bool left_by_ended_process(const char* suffix) {
    char* end = nullptr;
    const long pid = std::strtol(suffix, &end, 10);
    if (end == suffix || *end != '-' || pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all_at(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool same_file_state(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

FileWrite replace_by_rename(const std::string& target, const struct stat& read, const std::string& bytes) {
    std::string temp;
    Descriptor file(create_temporary(target, temp));
    if (file.fd < 0) {
        // A folder the saver may not write to: the file itself may still be written.
        return (errno == EACCES || errno == EPERM) ? FileWrite::in_place : FileWrite::failed;
    }
    FileWrite wrote = write_temporary(file.fd, read, bytes);
    if (wrote == FileWrite::done && ::close(file.release()) != 0) wrote = FileWrite::failed;
    // Written by another program that does not lock it, since it was read: read it again.
    struct stat now {};
    if (wrote == FileWrite::done && (::stat(target.c_str(), &now) != 0 || !same_file_state(now, read)))
        wrote = FileWrite::changed;
    if (wrote == FileWrite::done && ::rename(temp.c_str(), target.c_str()) != 0) wrote = FileWrite::failed;
    if (wrote != FileWrite::done) {
        ::unlink(temp.c_str());
        return wrote;
    }
    sync_folder(target);
    return FileWrite::done;
}

void sweep_stale_temporaries(const std::string& target) {
    const std::string prefix = temporary_prefix(target);
    const std::string name_prefix = prefix.substr(prefix.rfind('/') + 1);
    DIR* folder = ::opendir(folder_of(target).c_str());
    if (folder == nullptr) return;  // nothing swept this time; nothing else depends on it
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, name_prefix.size(), name_prefix) != 0) continue;
        if (left_by_ended_process(name.c_str() + name_prefix.size())) ::unlinkat(::dirfd(folder), name.c_str(), 0);
    }
    ::closedir(folder);
}

}  // namespace vek
