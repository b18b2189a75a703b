// Opening the card's serial device the way the driver would find it: raw 115200 8N1, no flow
// control, and kept from other programs. Failures come back sorted, so the panel can say what
// to try.
#pragma once

#include <string>

namespace vek::panel {

enum class DeviceFailure { none, absent, denied, busy, not_serial, folder, other };

struct DeviceOpen {
    int fd = -1;
    DeviceFailure failure = DeviceFailure::none;
    std::string reason;  // the system's own words
};

DeviceOpen open_card_device(const std::string& path);

// One line: what happened and what to try.
std::string explain_device_failure(const std::string& path, const DeviceOpen& open);

}  // namespace vek::panel
