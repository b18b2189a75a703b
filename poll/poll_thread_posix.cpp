// Linux has no safe way to kill one thread, so nothing here does: every wait of the poll loop is
// bounded or ends on the stop signal, and an abandoned thread is left to finish by itself.
#include <atomic>
#include <new>
#include <thread>

#include "poll/poll_loop.h"
#include "poll/poll_thread.h"
#include "poll/stop_signal.h"

namespace vek {

struct PollThread {
    StopSignal stop;
    std::atomic<bool> finished{false};
    std::atomic<int> owners{2};  // the thread itself and whoever stops it; the last one frees
    std::thread thread;
};

namespace {

void let_go(PollThread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

void run(PollThread* t, DriverContext* driver, DriverInstance* instance) {
    poll_loop(*driver, *instance, t->stop);
    t->finished.store(true);
    let_go(t);
}

}  // namespace

PollThread* launch_poll_thread(DriverContext& driver, DriverInstance& instance) {
    auto* t = new (std::nothrow) PollThread;
    if (t == nullptr) return nullptr;
    if (!t->stop.ready()) {
        delete t;
        return nullptr;
    }
    try {
        t->thread = std::thread(run, t, &driver, &instance);
    } catch (...) {  // no thread (or no memory for one): report it, never throw to the host
        delete t;
        return nullptr;
    }
    return t;
}

void signal_stop(PollThread& t) { t.stop.raise(); }

bool poll_loop_finished(const PollThread& t) { return t.finished.load(); }

void release_poll_thread(PollThread* t) {
    t->thread.join();  // poll_loop has returned: only the thread's own exit is left
    let_go(t);
}

void abandon_poll_thread(PollThread* t) {
    t->thread.detach();
    let_go(t);
}

}  // namespace vek
