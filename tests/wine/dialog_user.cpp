#include "tests/wine/dialog_user.h"

namespace {

constexpr const char* kCaption = "Vek Sorvanti driver";
constexpr int kDelayField = 1000;
// Only a failure waits this long: a dialog that never appears, or never fills its field.
constexpr DWORD kPatienceMs = 30000;

// The dialog window is created before its initialisation fills the field, and shown after it.
bool dialog_ready(HWND dialog) {
    return dialog != nullptr && IsWindowVisible(dialog) && GetWindowTextLengthA(GetDlgItem(dialog, kDelayField)) > 0;
}

}  // namespace

HWND make_host_window(bool active) {
    HWND window = CreateWindowExA(active ? 0 : WS_EX_NOACTIVATE, "STATIC", "KORVANEX host", WS_OVERLAPPEDWINDOW,
                                  40, 40, 320, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ShowWindow(window, active ? SW_SHOW : SW_SHOWNOACTIVATE);
    if (active) {
        SetForegroundWindow(window);
        SetActiveWindow(window);
    }
    return window;
}

std::string act_at_dialog(const DialogUser& user, HWND owner, const std::atomic<bool>& returned) {
    HWND dialog = nullptr;
    for (const DWORD start = GetTickCount(); !returned.load() && GetTickCount() - start < kPatienceMs; Sleep(10)) {
        if (dialog_ready(dialog = FindWindowA(nullptr, kCaption))) break;
    }
    if (!dialog_ready(dialog)) {
        // Let a dialog that never got ready go, so that the host's thread can report.
        if (dialog != nullptr) SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return "the dialog never showed its value";
    }
    std::string amiss;
    BOOL number = FALSE;
    const UINT shown = GetDlgItemInt(dialog, kDelayField, &number, FALSE);
    if (number == FALSE || std::to_string(shown) != user.shown) amiss += " it showed " + std::to_string(shown) + ";";
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui) || gui.hwndFocus != GetDlgItem(dialog, IDOK))
        amiss += " the focus is not on OK, the first tab stop;";
    if (GetWindow(dialog, GW_OWNER) != owner) amiss += " the host's window does not own it;";
    if (IsWindowEnabled(owner) != FALSE) amiss += " its owner is not disabled;";
    if (!user.leave) SetDlgItemTextA(dialog, kDelayField, user.typed.c_str());
    if (user.press == "close")
        SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    else
        SendMessageA(GetDlgItem(dialog, user.press == "OK" ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    return amiss;
}
