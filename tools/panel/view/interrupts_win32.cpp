#include "panel/view/interrupts.h"

#include <windows.h>

namespace vek::panel {

namespace {

// Windows ends the process as soon as the handler of a closing console returns: this long is
// left for the panel to stop the driver, whose stop takes at most 5 s, before the system's own
// limit of about 5 s ends it anyway.
constexpr DWORD kCloseGraceMs = 4500;

volatile std::sig_atomic_t* g_flag = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (g_flag != nullptr) *g_flag = 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

void catch_interrupts(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    // Without a console (started detached) there is no Ctrl-C to catch; the panel runs on.
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace vek::panel
