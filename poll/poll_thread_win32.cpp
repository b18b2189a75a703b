// Poll threads on Windows. Each thread holds a reference to the module from before it starts
// until its last instruction (FreeLibraryAndExitThread), so a host that frees the library while
// polling never leaves it running in unmapped code. A thread is never terminated: TerminateThread
// would leave the locks it holds (the port's, the sender's, the inputs') held for good.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "poll/poll_loop.h"
#include "poll/poll_thread.h"
#include "poll/stop_signal.h"

namespace vek {

namespace {

// Where the thread is: whoever changes it second learns what the other did.
enum ThreadState : int { kPolling, kFinished, kAbandoned };

}  // namespace

struct PollThread {
    StopSignal stop;
    std::atomic<int> state{kPolling};
    std::atomic<int> owners{2};  // the thread itself and whoever stops it; the last one frees
    DriverContext* driver = nullptr;
    DriverInstance* instance = nullptr;
    HMODULE module = nullptr;  // the thread's own reference to the module
    HANDLE handle = nullptr;
};

namespace {

// A thread past poll_loop has only its exit left; past this, stop returns without seeing it end.
constexpr DWORD kThreadEndBoundMs = 1000;

// Any address inside this module names it to GetModuleHandleExW.
const char kInThisModule = 0;

void let_go(PollThread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

DWORD WINAPI run(LPVOID parameter) {
    auto* t = static_cast<PollThread*>(parameter);
    DriverContext& driver = *t->driver;
    const HMODULE module = t->module;
    poll_loop(driver, *t->instance, t->stop);
    if (t->state.exchange(kFinished) == kAbandoned) let_go_of_line(driver);
    let_go(t);
    // Drops the thread's reference and exits without returning into the module, which this may
    // unload (when the host freed it while polling).
    FreeLibraryAndExitThread(module, 0);
}

}  // namespace

PollThread* launch_poll_thread(DriverContext& driver, DriverInstance& instance) {
    auto* t = new (std::nothrow) PollThread;
    if (t == nullptr) return nullptr;
    t->driver = &driver;
    t->instance = &instance;
    // Taken here rather than by the thread, so that no moment exists where it runs unpinned.
    if (!t->stop.ready() ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&kInThisModule),
                            &t->module)) {
        delete t;
        return nullptr;
    }
    t->handle = CreateThread(nullptr, 0, run, t, 0, nullptr);
    if (t->handle == nullptr) {
        FreeLibrary(t->module);
        delete t;
        return nullptr;
    }
    return t;
}

void signal_stop(PollThread& t) { t.stop.raise(); }

bool poll_loop_finished(const PollThread& t) { return t.state.load() == kFinished; }

// Waits (bounded) for the thread's exit, so that a stop that returned leaves no thread behind.
void release_poll_thread(PollThread* t) {
    WaitForSingleObject(t->handle, kThreadEndBoundMs);
    CloseHandle(t->handle);
    let_go(t);
}

bool abandon_poll_thread(PollThread* t) {
    if (t->state.exchange(kAbandoned) == kFinished) {
        release_poll_thread(t);
        return false;
    }
    CloseHandle(t->handle);  // the thread runs on without it
    let_go(t);
    return true;
}

void report_line_held() {
    static const char kText[] =
        "vek_driver: start refused: a poll thread that did not stop within 5 s still holds the serial line\n";
    OutputDebugStringA(kText);
    std::fputs(kText, stderr);
}

}  // namespace vek
