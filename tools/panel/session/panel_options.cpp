#include "panel/session/panel_options.h"

#include <cstdlib>

namespace vek::panel {

bool parse_port_number(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < 1 || value > 255) return false;
    *port = static_cast<unsigned>(value);
    return true;
}

std::string session_header(const PanelOptions& options, const std::string& what) {
    return std::string("vek-panel ") + VEK_VERSION + " " + what + ": options" +
           (options.command_line.empty() ? std::string(" (none)") : " " + options.command_line);
}

}  // namespace vek::panel
