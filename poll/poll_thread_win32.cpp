// Poll threads on Windows. Each holds a reference to the module from before it starts until its
// last instruction (FreeLibraryAndExitThread), so a host that frees the library while polling
// never leaves a thread running in unmapped code.
#include <windows.h>

#include "poll/system_thread.h"
#include "support/win32_pinned_thread.h"

namespace vek {

namespace {

// A thread past its function has only its exit left; past this, stop returns without seeing it end.
constexpr DWORD kThreadEndBoundMs = 1000;

}  // namespace

SystemThread start_system_thread(void (*run)(void* argument), void* argument) {
    return start_pinned_thread(run, argument);
}

// Waits (bounded) for the thread's exit, so that a stop that returned leaves no thread behind.
void join_system_thread(SystemThread thread) {
    WaitForSingleObject(thread, kThreadEndBoundMs);
    CloseHandle(thread);
}

void let_go_of_system_thread(SystemThread thread) { CloseHandle(thread); }  // the thread runs on without it

}  // namespace vek
