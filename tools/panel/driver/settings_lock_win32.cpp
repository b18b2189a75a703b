#include "panel/driver/settings_lock.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace vek::panel {

namespace {

constexpr int kRetryMs = 20;
// Access denied is a folder that takes no new file, or a lock file on its way out: tried this long.
constexpr int kDeniedMs = 1000;

}  // namespace

bool SettingsLock::take(const std::string& settings, int wait_ms, std::string* error) {
    release();
    path_ = settings + ".vek-panel-lock";
    const auto began = std::chrono::steady_clock::now();
    const auto deadline = began + std::chrono::milliseconds(wait_ms);
    for (;;) {
        // Shared with no one, and deleted when its handle closes, also when the panel dies.
        const HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(file);
            return true;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED && std::chrono::steady_clock::now() >= began + std::chrono::milliseconds(kDeniedMs)) {
            return true;
        }
        if (code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) {
            *error = "cannot make the lock " + path_ + " (error " + std::to_string(code) + ")";
            return false;
        }
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
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

}  // namespace vek::panel
