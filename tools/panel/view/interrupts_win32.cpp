#include "panel/view/interrupts.h"

#include <windows.h>

namespace vek::panel {

namespace {

// Windows ends the process as soon as the handler of a closing console returns, and at its own
// limit of about 5 s whatever it does: the handler waits for the panel's stop of the driver, and
// returns within this bound below that limit. A stop cut short by the end is still safe: the
// driver sends the all-off frame at the process's exit.
constexpr DWORD kCloseGraceMs = 4500;

volatile std::sig_atomic_t* g_flag = nullptr;
HANDLE g_stopped = nullptr;  // set by interrupts_done; manual reset, made by catch_interrupts

BOOL WINAPI on_console_event(DWORD event) {
    if (g_flag != nullptr) *g_flag = 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Without the event nothing could say the stop is done: the whole bound is left for it.
        if (g_stopped == nullptr || WaitForSingleObject(g_stopped, kCloseGraceMs) == WAIT_FAILED) Sleep(kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

void catch_interrupts(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Without a console (started detached) there is no Ctrl-C to catch; the panel runs on.
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void interrupts_done() {
    if (g_stopped != nullptr) SetEvent(g_stopped);
}

}  // namespace vek::panel
