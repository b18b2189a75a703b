// Small Win32 helpers the panel's Windows files share.
#pragma once

#include <string>

namespace vek::panel {

// The system's text for a GetLastError code, without its line end.
std::string system_message(unsigned long code);

// The full path of name in the folder that holds vek-panel.exe.
std::string beside_panel(const std::string& name);

}  // namespace vek::panel
