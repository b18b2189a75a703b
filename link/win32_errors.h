// What the system's errors mean for the Win32 line, for its own files only.
#pragma once

#include <windows.h>

#include <cstddef>

namespace vek {

// Errors after which the port will not come back. An aborted operation is one when we did not
// cancel it ourselves: a USB serial driver aborts every request after a surprise removal.
bool is_lost(DWORD error, bool cancelled_by_us);

// "system error N, <the system's words>" into `text`, for the trace. Never allocates.
void describe_system_error(DWORD error, char* text, std::size_t room);

}  // namespace vek
