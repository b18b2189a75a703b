// Threads of the module on Windows that hold a reference to it from before they start until
// their last instruction (FreeLibraryAndExitThread), so that a host freeing the library while one
// runs never leaves it in unmapped code. The poll threads and the trace's writer start this way.
#pragma once

#include <windows.h>

namespace vek {

// Starts run(argument) on a thread of its own that pins the module; the thread's handle, or null
// when the module cannot be pinned or no thread made (nothing is left held then).
HANDLE start_pinned_thread(void (*run)(void* argument), void* argument);

}  // namespace vek
