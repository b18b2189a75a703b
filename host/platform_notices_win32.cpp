#include <windows.h>

#include <atomic>
#include <cstdio>

#include "host/platform_notices.h"

namespace vek {

namespace {

std::atomic<DWORD> g_box_thread{0};  // the thread whose no-card box is up; 0 for none

// A DLL in a windowed host has no console: the debugger's output is where such lines are read.
void report(const char* text) noexcept {
    char line[kNoticeChars + 64];
    std::snprintf(line, sizeof line, "%s: %s\n", kNoticeCaption, text);
    OutputDebugStringA(line);
    std::fputs(line, stderr);
}

// Nobody answers a box in a service's session (0) or on a window station that is not visible:
// the start would never return.
bool someone_can_answer() noexcept {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) return false;
    USEROBJECTFLAGS flags{};
    HWINSTA station = GetProcessWindowStation();
    if (station != nullptr && GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
        (flags.dwFlags & WSF_VISIBLE) == 0) {
        return false;
    }
    return true;
}

void no_card() noexcept {
    if (!someone_can_answer()) return report(kNoCardText);
    // Owned by the host's active window, if this thread has one: the desktop window as owner
    // would disable every window of the session. In front, since the host may be behind others.
    g_box_thread = GetCurrentThreadId();
    MessageBoxA(GetActiveWindow(), kNoCardText, kNoticeCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
    g_box_thread = 0;
}

}  // namespace

Notices platform_notices() { return Notices{no_card, report}; }

bool notice_waiting_on_this_thread() noexcept { return g_box_thread.load() == GetCurrentThreadId(); }

}  // namespace vek
