// Where the instance's settings file is kept when --settings names none, and the path the
// driver is given for it.
#pragma once

#include <string>

namespace vek::panel {

// The default settings file; its folder is made when missing.
std::string default_settings_path();

// The path handed to the driver for a --settings FILE.
std::string settings_path_for_driver(const std::string& given);

}  // namespace vek::panel
