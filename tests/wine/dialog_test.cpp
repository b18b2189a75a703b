// A 32-bit host that runs the real DLL's delay dialog under Wine on a virtual display, and acts as
// the user: while the host's thread waits in DRV_CONFIGURE, a watcher thread finds the dialog by
// its caption, reads its field, types into it and presses a button.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/shared/wine_host.h"

namespace {

constexpr const char* kCaption = "Vek Sorvanti driver";
constexpr int kDelayField = 1000;
constexpr uint32_t kConfigure = 0xFFFD;
constexpr uint32_t kSave = 0xFFFC;
// Only a failure waits this long: a dialog that never appears, or never fills its field.
constexpr DWORD kPatienceMs = 30000;

std::string work_file(const char* name) { return program_folder() + "\\dialog-test-" + name; }

enum class Press { ok, cancel, close_box };

// What the user does once the dialog shows its value: type text (unless null), then press.
struct UserActions {
    const char* typed;
    Press press;
};

// What the user saw before acting.
struct Seen {
    bool ready = false;
    UINT shown = 0;
    BOOL shown_is_number = FALSE;
    HWND focus = nullptr;
    HWND ok_button = nullptr;
    HWND owner = nullptr;
    bool owner_disabled = false;
};

// The dialog window is created before its initialisation fills the field, and shown after it.
bool dialog_ready(HWND dialog) {
    return IsWindowVisible(dialog) && GetWindowTextLengthA(GetDlgItem(dialog, kDelayField)) > 0;
}

Seen act(const UserActions& actions, const std::atomic<bool>& returned) {
    Seen seen;
    HWND dialog = nullptr;
    const DWORD start = GetTickCount();
    while (!returned.load() && GetTickCount() - start < kPatienceMs) {
        dialog = FindWindowA(nullptr, kCaption);
        if (dialog != nullptr && dialog_ready(dialog)) break;
        Sleep(10);
    }
    if (dialog == nullptr || !dialog_ready(dialog)) {
        // Let a dialog that never got ready go, so that the host's thread can report.
        if (dialog != nullptr) SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return seen;
    }
    seen.ready = true;
    seen.shown = GetDlgItemInt(dialog, kDelayField, &seen.shown_is_number, FALSE);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui)) seen.focus = gui.hwndFocus;
    seen.ok_button = GetDlgItem(dialog, IDOK);
    seen.owner = GetWindow(dialog, GW_OWNER);
    seen.owner_disabled = seen.owner != nullptr && !IsWindowEnabled(seen.owner);
    if (actions.typed != nullptr) SetDlgItemTextA(dialog, kDelayField, actions.typed);
    switch (actions.press) {
        case Press::ok: SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); break;
        case Press::cancel: SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); break;
        case Press::close_box: SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    }
    return seen;
}

// DRV_CONFIGURE on the host's thread, with the user acting from another.
int32_t configure(Driver& d, uint32_t number, RawDriverRecord& rec, const std::string& ini, UserActions actions,
                  Seen& seen) {
    std::atomic<bool> returned{false};
    std::thread user([&] { seen = act(actions, returned); });
    const int32_t end = d.call(number, kConfigure, &rec, ini);
    returned.store(true);
    user.join();
    check(seen.ready, "the dialog appeared and showed its value");
    return end;
}

// The delay the instance holds now, as DRV_SAVE_SETTINGS writes it to a file of its own.
UINT instance_delay(Driver& d, uint32_t number, RawDriverRecord& rec) {
    const std::string seen = work_file("seen.ini");
    DeleteFileA(seen.c_str());
    CHECK_EQ(d.call(number, kSave, &rec, seen), 0, "save settings");
    return stored_delay(seen, number);
}

// A visible, active window of the host's own: the dialog's owner while it runs.
HWND make_host_window() {
    HWND window = CreateWindowExA(0, "STATIC", "KORVANEX host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 200,
                                  nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetForegroundWindow(window);
    SetActiveWindow(window);
    return window;
}

void test_ok_stores_and_saves(Driver& d, HWND host_window) {
    const std::string ini = work_file("ok.ini");
    write_text(ini, "[General]\r\nLanguage=FR\r\n");
    RawDriverRecord rec;
    CHECK_EQ(d.call(7, 0xFFFE, &rec, ini), 0, "create without a settings entry");

    Seen seen;
    CHECK_EQ(configure(d, 7, rec, ini, {"120", Press::ok}, seen), 1, "OK ends the dialog with 1");
    CHECK_EQ(seen.shown, 50u, "the field shows the default delay");
    check(seen.shown_is_number != FALSE, "the field holds a number");
    check(seen.focus != nullptr && seen.focus == seen.ok_button, "the focus is on OK, the first tab stop");
    check(seen.owner == host_window, "the host's active window owns the dialog");
    check(seen.owner_disabled, "the owner is disabled while the dialog runs");
    check(IsWindowEnabled(host_window) != FALSE, "the owner is enabled again afterwards");
    CHECK_EQ(stored_delay(ini, 7), 120u, "OK writes the delay in the instance's section");
    check(read_text(ini).find("[General]\r\nLanguage=FR\r\n") == 0, "other sections stay");

    // Whatever the file says since, the instance holds 120 and a later save writes it.
    WritePrivateProfileStringA("korvanex-vek-driver-7", "delay", "9", ini.c_str());
    CHECK_EQ(d.call(7, kSave, &rec, ini), 0, "save settings");
    CHECK_EQ(stored_delay(ini, 7), 120u, "a later save writes the new delay");
    CHECK_EQ(d.call(7, 0xFFFF, &rec, ini), 0, "delete");
}

// A thread of the host with a window of its own that it never activated (a panel shown without
// taking the focus): GetActiveWindow() is null there, and the dialog must still belong to that
// window, not to the desktop.
void test_owner_without_active_window(Driver& d) {
    std::thread panel([&d] {
        HWND window = CreateWindowExA(WS_EX_NOACTIVATE, "STATIC", "KORVANEX panel", WS_OVERLAPPEDWINDOW, 40, 40, 320,
                                      200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ShowWindow(window, SW_SHOWNOACTIVATE);
        check(GetActiveWindow() == nullptr, "the panel's thread has no active window");
        const std::string ini = work_file("owner.ini");
        DeleteFileA(ini.c_str());
        RawDriverRecord rec;
        CHECK_EQ(d.call(5, 0xFFFE, &rec, ini), 0, "create");
        Seen seen;
        CHECK_EQ(configure(d, 5, rec, ini, {nullptr, Press::cancel}, seen), 2, "Cancel ends the dialog with 2");
        check(seen.owner == window, "without an active window, the thread's top-level window owns the dialog");
        CHECK_EQ(d.call(5, 0xFFFF, &rec, ini), 0, "delete");
        DestroyWindow(window);
    });
    panel.join();
}

// Cancel, and the close box, change nothing: neither the instance nor the file.
void test_cancel_changes_nothing(Driver& d) {
    const std::string ini = work_file("cancel.ini");
    write_text(ini, "[korvanex-vek-driver-2]\r\ndelay=75\r\n");
    RawDriverRecord rec;
    CHECK_EQ(d.call(2, 0xFFFE, &rec, ini), 0, "create");
    for (Press press : {Press::cancel, Press::close_box}) {
        Seen seen;
        CHECK_EQ(configure(d, 2, rec, ini, {"999", press}, seen), 2, "Cancel or the close box ends with 2");
        CHECK_EQ(seen.shown, 75u, "the field shows the loaded delay");
        check(read_text(ini) == "[korvanex-vek-driver-2]\r\ndelay=75\r\n", "the file is unchanged");
        CHECK_EQ(instance_delay(d, 2, rec), 75u, "the instance is unchanged");
    }
    CHECK_EQ(d.call(2, 0xFFFF, &rec, ini), 0, "delete");
}

// OK on a field that holds no number stores what the platform reads from it: 0.
void test_cleared_field_stores_zero(Driver& d) {
    const std::string ini = work_file("cleared.ini");
    DeleteFileA(ini.c_str());
    RawDriverRecord rec;
    CHECK_EQ(d.call(4, 0xFFFE, &rec, ini), 0, "create");
    for (const char* typed : {"", "ms"}) {
        WritePrivateProfileStringA("korvanex-vek-driver-4", "delay", "33", ini.c_str());
        Seen seen;
        CHECK_EQ(configure(d, 4, rec, ini, {typed, Press::ok}, seen), 1, "OK ends the dialog with 1");
        CHECK_EQ(stored_delay(ini, 4), 0u, "the file gets 0");
        CHECK_EQ(instance_delay(d, 4, rec), 0u, "the instance gets 0");
    }
    CHECK_EQ(d.call(4, 0xFFFF, &rec, ini), 0, "delete");
}

}  // namespace

int main() {
    Driver d;
    if (!d.load()) return 1;
    HWND host_window = make_host_window();
    test_ok_stores_and_saves(d, host_window);
    test_cancel_changes_nothing(d);
    test_cleared_field_stores_zero(d);
    test_owner_without_active_window(d);
    DestroyWindow(host_window);
    FreeLibrary(d.module);
    return report();
}
