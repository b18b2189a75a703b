#include <windows.h>

#include <cstdio>

#include "host/platform_notices.h"

namespace vek {

namespace {

void no_card() noexcept {
    // Owned by the desktop so that it shows even when the host has no active window.
    MessageBoxA(GetDesktopWindow(), kNoCardText, kNoticeCaption, MB_OK | MB_ICONERROR);
}

// A DLL in a windowed host has no console: the debugger's output is where such lines are read.
void report(const char* text) noexcept {
    char line[kNoticeChars + 64];
    std::snprintf(line, sizeof line, "%s: %s\n", kNoticeCaption, text);
    OutputDebugStringA(line);
    std::fputs(line, stderr);
}

}  // namespace

Notices platform_notices() { return Notices{no_card, report}; }

}  // namespace vek
