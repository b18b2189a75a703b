#include <windows.h>

#include "host/driver_entry.h"

// Attaching sets the module up and always succeeds.
//
// Detaching happens under the loader lock, either when the last reference is freed or at process
// exit, when every other thread has already been terminated (reserved is then non-null). A poll
// thread and a trace writer each hold their own reference, so an unload while one runs can only
// be the process's exit: the card must not keep its outputs, so the all-off frame goes out,
// written without waiting on any thread or taking any lock (Microsoft's DllMain rules; a killed
// thread may hold one), and nothing else is done.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) vek::module_load(instance);
    if (reason == DLL_PROCESS_DETACH) vek::module_unload(reserved != nullptr);
    return TRUE;
}
