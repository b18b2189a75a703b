#include <windows.h>

#include "link/card_discovery.h"

namespace vek {

void show_no_card_message() {
    // Owned by the desktop so that it shows even when the host has no active window.
    MessageBoxA(GetDesktopWindow(), "Cannot find I/O card, please check connection", "VEK KORVANEX driver",
                MB_OK | MB_ICONERROR);
}

}  // namespace vek
