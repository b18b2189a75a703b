// The delay dialog from template 101 in the module's own resources.
#include <windows.h>

#include "dialog/configure_dialog.h"
#include "resources/dialog_ids.h"

namespace vek {

namespace {

// What the dialog works on, handed over with WM_INITDIALOG.
const DialogRequest* dialog_request(HWND dialog) {
    return reinterpret_cast<const DialogRequest*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

INT_PTR CALLBACK delay_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            // The request arrives only with this message; the window keeps it for the commands.
            SetWindowLongPtrA(dialog, DWLP_USER, lparam);
            SetDlgItemInt(dialog, VEK_FIELD_DELAY, dialog_request(dialog)->delay_ms->load(), FALSE);
            return TRUE;  // the platform then focuses the first tab stop, OK
        }
        case WM_COMMAND:
            // Whatever the notification: a keyboard accelerator or a click ends the dialog alike.
            if (LOWORD(wparam) == IDOK) {
                // A field that does not hold a number reads as 0, and 0 is stored.
                const UINT typed = GetDlgItemInt(dialog, VEK_FIELD_DELAY, nullptr, FALSE);
                accept_delay(*dialog_request(dialog), typed);
                EndDialog(dialog, kDialogOk);
                return TRUE;
            }
            if (LOWORD(wparam) == IDCANCEL) {
                EndDialog(dialog, kDialogCancel);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE: EndDialog(dialog, kDialogCancel); return TRUE;
        default: return FALSE;
    }
}

// EnumThreadWindows' callback: keeps the first visible window that no other window owns.
BOOL CALLBACK keep_main_window(HWND window, LPARAM found) {
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// The host's window for the dialog to belong to. GetActiveWindow() is per thread and null while
// another program is in front; the dialog then falls back to a visible top-level window of the
// calling thread. Without an owner the template's position 0,0 is the screen's corner, and the
// host stays enabled while the dialog runs.
HWND dialog_owner() {
    HWND owner = GetActiveWindow();
    if (owner != nullptr) return owner;
    // Its result says only whether the callback ended the enumeration early.
    EnumThreadWindows(GetCurrentThreadId(), keep_main_window, reinterpret_cast<LPARAM>(&owner));
    return owner;
}

}  // namespace

int32_t configure_dialog(const DialogRequest& request) {
    HINSTANCE module = static_cast<HINSTANCE>(request.module_handle);
    const INT_PTR end = DialogBoxParamA(module, MAKEINTRESOURCEA(VEK_DIALOG_CONFIGURE), dialog_owner(), delay_dialog,
                                        reinterpret_cast<LPARAM>(&request));
    return static_cast<int32_t>(end);
}

}  // namespace vek
