#include "panel/view/interrupts.h"

namespace vek::panel {

namespace {

volatile std::sig_atomic_t* g_flag = nullptr;

void on_signal(int) {
    if (g_flag != nullptr) *g_flag = 1;
}

}  // namespace

void catch_interrupts(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A record over the file size limit fails its write, which the panel tells, rather than killing it.
    std::signal(SIGXFSZ, SIG_IGN);
}

void interrupts_done() {}  // a signal's handler never waits for the stop

}  // namespace vek::panel
