// Who owns a poll thread's record: the thread itself and whoever stops it, two owners, the last of
// which frees it. A thread is never killed: a killed thread would leave the locks it holds (the
// port's, the sender's, the inputs') held for good. Stop either sees it finish, or abandons it to
// finish on its own.
#include <atomic>
#include <new>

#include "poll/poll_loop.h"
#include "poll/poll_thread.h"
#include "poll/stop_signal.h"
#include "poll/system_thread.h"

namespace vek {

namespace {

// Where the thread is: whoever changes it second learns what the other did.
enum ThreadState : int { kPolling, kFinished, kAbandoned };

}  // namespace

struct PollThread {
    StopSignal stop;
    std::atomic<int> state{kPolling};
    std::atomic<int> owners{2};
    DriverContext* driver = nullptr;
    Card* card = nullptr;
    SystemThread system = nullptr;  // set by the launcher; the thread never reads it
};

namespace {

void let_go(PollThread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

void run(void* argument) {
    auto* t = static_cast<PollThread*>(argument);
    Card& card = *t->card;
    poll_loop(*t->driver, card, t->stop);
    if (t->state.exchange(kFinished) == kAbandoned) let_go_of_line(card);
    let_go(t);
}

}  // namespace

PollThread* launch_poll_thread(DriverContext& driver, Card& card) {
    auto* t = new (std::nothrow) PollThread;
    if (t == nullptr) return nullptr;
    t->driver = &driver;
    t->card = &card;
    if (!t->stop.ready()) {
        delete t;
        return nullptr;
    }
    t->system = start_system_thread(run, t);
    if (t->system == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

void signal_stop(PollThread& t) { t.stop.raise(); }

bool poll_loop_finished(const PollThread& t) { return t.state.load() == kFinished; }

void release_poll_thread(PollThread* t) {
    join_system_thread(t->system);  // poll_loop has returned: only the thread's own exit is left
    let_go(t);
}

bool abandon_poll_thread(PollThread* t) {
    if (t->state.exchange(kAbandoned) == kFinished) {
        release_poll_thread(t);
        return false;
    }
    let_go_of_system_thread(t->system);
    let_go(t);
    return true;
}

}  // namespace vek
