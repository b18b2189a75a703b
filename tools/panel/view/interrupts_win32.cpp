#include "panel/view/interrupts.h"

#include <windows.h>

namespace vek::panel {

namespace {

// Windows ends the process as soon as the handler of a closing console returns, and at its own
// limit of about 5 s whatever it does: the handler waits for the panel's stop of the driver, and
// returns within this bound below that limit. A stop cut short by the end is still safe: the
// driver sends the all-off frame at the process's exit. A session's end waits the same bound.
constexpr DWORD kCloseGraceMs = 4500;

volatile std::sig_atomic_t* g_flag = nullptr;
HANDLE g_stopped = nullptr;  // set by interrupts_done; manual reset, made by catch_interrupts

// The process ends once this returns: the panel is asked to stop, and is given the bound to do so.
void end_after_stop() {
    if (g_flag != nullptr) *g_flag = 1;
    // Without the event nothing could say the stop is done: the whole bound is left for it.
    if (g_stopped == nullptr || WaitForSingleObject(g_stopped, kCloseGraceMs) == WAIT_FAILED) Sleep(kCloseGraceMs);
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        end_after_stop();
    } else if (g_flag != nullptr) {
        *g_flag = 1;
    }
    return TRUE;
}

// The panel loads user32 (the driver's boxes need it), so Windows takes it for a windowed program
// and never gives its console handler a logoff or a shutdown: those come to a top-level window
// as WM_QUERYENDSESSION and WM_ENDSESSION, and the process is ended when the latter returns.
LRESULT CALLBACK on_session_message(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_QUERYENDSESSION) return TRUE;  // another program may still refuse the end
    if (message == WM_ENDSESSION) {
        if (w != FALSE) end_after_stop();
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

// A hidden window and its message loop, for the life of the process. A message-only window would
// not do: the session's end is broadcast to top-level windows alone.
DWORD WINAPI run_session_window(void*) {
    WNDCLASSW kind{};
    kind.lpfnWndProc = on_session_message;
    kind.hInstance = GetModuleHandleW(nullptr);
    kind.lpszClassName = L"vek-panel-session";
    if (RegisterClassW(&kind) == 0) return 1;
    // Without a desktop to put it on (under Wine with no display), the panel runs on without it.
    HWND window = CreateWindowExW(0, kind.lpszClassName, L"vek-panel", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  kind.hInstance, nullptr);
    if (window == nullptr) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

}  // namespace

void catch_interrupts(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Without a console (started detached) there is no Ctrl-C to catch; the panel runs on.
    SetConsoleCtrlHandler(on_console_event, TRUE);
    // Left to run until the process ends; without it a logoff ends the panel with the card as it was.
    HANDLE thread = CreateThread(nullptr, 0, run_session_window, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}

void interrupts_done() {
    if (g_stopped != nullptr) SetEvent(g_stopped);
}

}  // namespace vek::panel
