#include <cstdlib>

#include "link/port_path.h"

namespace vek {

std::string port_device_path(uint32_t n) {
    const char* folder = std::getenv(kPortsFolderVariable);
    if (folder != nullptr && folder[0] != '\0') return std::string(folder) + "/com" + std::to_string(n);
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace vek
