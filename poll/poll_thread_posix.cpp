// Linux has no safe way to kill one thread, and needs none: every wait of the poll loop is bounded
// or ends on the stop signal. Nothing pins a shared library here: a host that unloads it while a
// thread runs is already at fault.
#include <thread>

#include "poll/system_thread.h"

namespace vek {

SystemThread start_system_thread(void (*run)(void* argument), void* argument) {
    try {
        return new std::thread(run, argument);
    } catch (...) {  // no thread (or no memory for one): report it, never throw to the host
        return nullptr;
    }
}

void join_system_thread(SystemThread thread) {
    auto* t = static_cast<std::thread*>(thread);
    t->join();  // its function has returned: the join is bounded by the thread's exit alone
    delete t;
}

void let_go_of_system_thread(SystemThread thread) {
    auto* t = static_cast<std::thread*>(thread);
    t->detach();
    delete t;
}

}  // namespace vek
