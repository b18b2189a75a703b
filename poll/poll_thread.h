// A card's poll thread. The thread runs poll_loop on its card with a stop signal of its own.
#pragma once

#include "poll/driver_context.h"

namespace vek {

// Runs poll_loop(driver, card) on a new thread at normal priority; null when no thread could be
// made.
PollThread* launch_poll_thread(DriverContext& driver, Card& card);

// Cuts the thread's waits short; the caller sets the card's stop_request first.
void signal_stop(PollThread& thread);

// True once poll_loop has returned.
bool poll_loop_finished(const PollThread& thread);

// After poll_loop has returned: waits for the thread to end and frees it.
void release_poll_thread(PollThread* thread);

// For a thread that did not answer within stop's bound. It is never terminated: it may hold the
// port's lock or the sender's, and a lock of a killed thread stays held for good. It is left to
// finish on its own, and then runs let_go_of_line and frees itself. False when it had finished
// after all: it is then released as release_poll_thread does.
bool abandon_poll_thread(PollThread* thread);

}  // namespace vek
