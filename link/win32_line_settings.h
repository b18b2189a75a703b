// The Win32 line's settings, for its own files only.
#pragma once

#include <windows.h>

namespace vek {

// A write into the 4096-byte queue is waited for this long, and the port's own write timeout is
// the same.
constexpr DWORD kWriteBoundMs = 500;

// 4096-byte queues, 115200 8N1, binary, no flow control, RTS and DTR moved only when asserted, no
// abort on error; reads without timeouts. False when the port refuses them.
bool configure_line(HANDLE h);

}  // namespace vek
