// The delay dialog where there is no Win32 user interface: the same caption, label and field,
// presented on a terminal, with Enter for OK and Escape for Cancel.
#pragma once

#include <cstdint>

#include "dialog/configure_dialog.h"

namespace vek {

// Runs the dialog on the terminal at terminal_path and returns its end code: 1 after Enter (the
// field's value stored, and saved), 2 after Escape, Ctrl-C, end of input or a hang-up (nothing
// changed), -1 when terminal_path cannot be opened as a terminal.
int32_t run_terminal_dialog(const DialogRequest& request, const char* terminal_path);

}  // namespace vek
