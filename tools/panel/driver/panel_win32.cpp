#include "panel/driver/panel_win32.h"

#include <windows.h>

namespace vek::panel {

std::string system_message(unsigned long code) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string message = length > 0 ? std::string(text, length) : std::string();
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message + " (error " + std::to_string(code) + ")";
}

std::string beside_panel(const std::string& name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    // A path cut short, or none at all: the name alone, which Windows looks for in the
    // panel's folder first.
    if (length == 0 || length >= sizeof path) return name;
    std::string folder(path, length);
    const std::size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? name : folder.substr(0, slash + 1) + name;
}

}  // namespace vek::panel
