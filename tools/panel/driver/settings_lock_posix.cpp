#include "panel/driver/settings_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace vek::panel {

namespace {

constexpr int kRetryMs = 20;

// A folder that takes no new file.
bool unwritable(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The lock file, held; -1 when another panel holds it (*busy), -2 when the folder takes no new
// file, -1 with *error when it cannot be had.
int try_lock(const std::string& path, bool* busy, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (unwritable(errno)) return -2;
        *error = "cannot make the lock " + path + ": " + std::strerror(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *busy = errno == EWOULDBLOCK;
        if (!*busy) *error = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    // The holder before may have removed the file after this one opened it: that lock guards nothing.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
        held.st_dev != named.st_dev) {
        *busy = true;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool SettingsLock::take(const std::string& settings, int wait_ms, std::string* error) {
    release();
    path_ = settings + ".vek-panel-lock";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        bool busy = false;
        const int fd = try_lock(path_, &busy, error);
        if (fd == -2) return true;
        if (fd >= 0) {
            handle_ = fd;
            return true;
        }
        if (!busy) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = "another panel has held " + path_ + " for " + std::to_string(wait_ms / 1000) +
                     " s: it is starting the driver with this settings file. Try again, or give this panel a "
                     "settings file of its own";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
    }
}

void SettingsLock::release() {
    if (handle_ < 0) return;
    // Removed while still held, so that no panel waits on a name that is gone.
    ::unlink(path_.c_str());
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace vek::panel
