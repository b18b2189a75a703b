// One panel at a time lends trace keys in a settings file: the hold is taken for the lending (and
// for reading whether a trace key is the user's own), and the system lets it go when the panel
// ends, however it ends. The lock is a file beside the settings file, removed on letting go.
#pragma once

#include <cstdint>
#include <string>

namespace vek::panel {

class SettingsLock {
public:
    SettingsLock() = default;
    ~SettingsLock() { release(); }
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;

    // Tries until wait_ms have passed; false with the reason in *error. True without a hold when
    // the settings file's folder takes no new file: no panel can lend keys in it either (the
    // marker could not be written), so there is nothing to guard.
    bool take(const std::string& settings, int wait_ms, std::string* error);
    void release();

private:
    intptr_t handle_ = -1;
    std::string path_;
};

// Another panel's lending takes one DRV_START: a scan of every port, bounded by the driver.
constexpr int kSettingsLockWaitMs = 60000;

}  // namespace vek::panel
