// The tap (--tap DEVICE --link PATH): the line monitor between a real serial device and a
// pseudo-terminal published at PATH for another program, the host, to open as its port. Every
// byte passes at once both ways; the panel only watches and never sends a byte of its own.
#pragma once

#include <string>

namespace vek::panel {

// Why PATH cannot be the tap's link, or empty: its folder must exist, and what is there already
// may only be a link (a port name such as dosdevices/com3), which the tap replaces.
std::string tap_link_problem(const std::string& link);

}  // namespace vek::panel
