// The platform's part of a poll thread, and all of it: start a thread that runs one function with
// the module pinned, join it within a bound once its function has returned, or let go of it
// without waiting. The ownership protocol above it is shared (poll_thread.cpp).
#pragma once

namespace vek {

using SystemThread = void*;  // the platform's own thread record; null: none

// Runs run(argument) on a new thread at normal priority. On Windows the thread holds a reference
// to the module from before it starts until its last instruction, so that a host that frees the
// library meanwhile never leaves it running in unmapped code. Null when no thread could be made.
SystemThread start_system_thread(void (*run)(void* argument), void* argument);

// After run has returned: waits, within a bound, for the thread's own exit, and frees the record.
void join_system_thread(SystemThread thread);

// Frees the record without waiting; the thread runs on, and ends by itself.
void let_go_of_system_thread(SystemThread thread);

}  // namespace vek
