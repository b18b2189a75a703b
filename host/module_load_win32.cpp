#include <windows.h>

#include "host/driver_entry.h"

// Attaching sets the module up and always succeeds. Detaching does nothing: the host stops every
// instance before it unloads the driver.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) vek::module_load(instance);
    return TRUE;
}
