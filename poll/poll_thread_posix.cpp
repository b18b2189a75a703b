// Linux has no safe way to kill one thread, so nothing here does: every wait of the poll loop is
// bounded or ends on the stop signal, and an abandoned thread is left to finish by itself.
#include <atomic>
#include <cstdio>
#include <new>
#include <thread>

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
    std::thread thread;
};

namespace {

void let_go(PollThread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

void run(PollThread* t, DriverContext* driver, DriverInstance* instance) {
    poll_loop(*driver, *instance, t->stop);
    if (t->state.exchange(kFinished) == kAbandoned) let_go_of_line(*driver);
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

bool poll_loop_finished(const PollThread& t) { return t.state.load() == kFinished; }

void release_poll_thread(PollThread* t) {
    t->thread.join();  // poll_loop has returned: only the thread's own exit is left
    let_go(t);
}

bool abandon_poll_thread(PollThread* t) {
    if (t->state.exchange(kAbandoned) == kFinished) {
        release_poll_thread(t);
        return false;
    }
    t->thread.detach();
    let_go(t);
    return true;
}

void report_line_held() {
    std::fputs("vek_driver: start refused: a poll thread that did not stop within 5 s still holds the serial line\n",
               stderr);
}

}  // namespace vek
