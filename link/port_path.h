// Where COMn lives on a system without COM names.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

// The folder named by this variable holds links com1 ... com127 to the devices that play those
// ports (a USB adapter, the virtual card), the way a Wine prefix's dosdevices folder does.
constexpr const char* kPortsFolderVariable = "VEK_PORTS_DIR";

// VEK_PORTS_DIR/com<n> when the variable is set and not empty, /dev/ttyS<n-1> otherwise.
std::string port_device_path(uint32_t n);

}  // namespace vek
