#include "support/win32_pinned_thread.h"

#include <new>

namespace vek {

namespace {

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
    // unload (when the host freed it meanwhile).
    FreeLibraryAndExitThread(start.module, 0);
}

}  // namespace

HANDLE start_pinned_thread(void (*run)(void* argument), void* argument) {
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

}  // namespace vek
