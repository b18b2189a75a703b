// The delay dialog where there is no Win32 user interface: the same caption, label and field,
// presented on a terminal, with Enter for OK and Escape for Cancel.
#pragma once

#include <cstdint>

#include "poll/instance_table.h"

namespace vek {

// Runs the dialog on the terminal at terminal_path and returns its end code: 1 after Enter (the
// field's value stored, and saved at config_path), 2 after Escape, Ctrl-C, end of input or a hang-up (nothing
// changed), -1 when terminal_path cannot be opened as a terminal.
int32_t run_terminal_dialog(const char* config_path, DriverInstance& instance, const char* terminal_path);

}  // namespace vek
