#include <windows.h>

#include <atomic>
#include <new>

#include "poll/poll_loop.h"
#include "poll/poll_thread.h"
#include "poll/stop_signal.h"

namespace vek {

struct PollThread {
    StopSignal stop;
    std::atomic<bool> finished{false};
    DriverContext* driver = nullptr;
    DriverInstance* instance = nullptr;
    HANDLE handle = nullptr;
};

namespace {

// A thread past poll_loop, or just terminated, ends within this; past it, its record is kept.
constexpr DWORD kThreadEndBoundMs = 1000;

DWORD WINAPI run(LPVOID parameter) {
    auto* t = static_cast<PollThread*>(parameter);
    poll_loop(*t->driver, *t->instance, t->stop);
    t->finished.store(true);
    return 0;
}

// Frees the record only once the thread is known to be gone: a thread still running would use it.
void close_thread(PollThread* t) {
    const bool ended = WaitForSingleObject(t->handle, kThreadEndBoundMs) == WAIT_OBJECT_0;
    CloseHandle(t->handle);
    if (ended) delete t;
}

}  // namespace

PollThread* launch_poll_thread(DriverContext& driver, DriverInstance& instance) {
    auto* t = new (std::nothrow) PollThread;
    if (t == nullptr) return nullptr;
    t->driver = &driver;
    t->instance = &instance;
    if (t->stop.ready()) t->handle = CreateThread(nullptr, 0, run, t, 0, nullptr);
    if (t->handle == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

void signal_stop(PollThread& t) { t.stop.raise(); }

bool poll_loop_finished(const PollThread& t) { return t.finished.load(); }

void release_poll_thread(PollThread* t) { close_thread(t); }

void abandon_poll_thread(PollThread* t) {
    TerminateThread(t->handle, 1);
    close_thread(t);
}

}  // namespace vek
