// Poll threads on Windows. Each holds a reference to the module from before it starts until its
// last instruction (FreeLibraryAndExitThread), so a host that frees the library while polling
// never leaves a thread running in unmapped code.
#include <windows.h>

#include <new>

#include "poll/system_thread.h"

namespace vek {

namespace {

// A thread past its function has only its exit left; past this, stop returns without seeing it end.
constexpr DWORD kThreadEndBoundMs = 1000;

// Any address inside this module names it to GetModuleHandleExW.
const char kInThisModule = 0;

// What the new thread needs; it takes the record over and frees it as it begins.
struct ThreadStart {
    void (*run)(void*);
    void* argument;
    HMODULE module;  // the thread's own reference to the module
};

DWORD WINAPI enter(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.run(start.argument);
    // Drops the thread's reference and exits without returning into the module, which this may
    // unload (when the host freed it while polling).
    FreeLibraryAndExitThread(start.module, 0);
}

}  // namespace

SystemThread start_system_thread(void (*run)(void* argument), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{run, argument, nullptr};
    if (start == nullptr) return nullptr;
    // Taken here rather than by the thread, so that no moment exists where it runs unpinned.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&kInThisModule),
                            &start->module)) {
        delete start;
        return nullptr;
    }
    const HMODULE module = start->module;
    const HANDLE thread = CreateThread(nullptr, 0, enter, start, 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(module);
        delete start;
    }
    return thread;
}

// Waits (bounded) for the thread's exit, so that a stop that returned leaves no thread behind.
void join_system_thread(SystemThread thread) {
    WaitForSingleObject(thread, kThreadEndBoundMs);
    CloseHandle(thread);
}

void let_go_of_system_thread(SystemThread thread) { CloseHandle(thread); }  // the thread runs on without it

}  // namespace vek
