// What each platform's serial file provides. The shared layer (serial_port.cpp) holds the lock
// and the port's bookkeeping; a backend only talks to the system. Each returns false when the
// system call failed, and reports a lost port through *lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

namespace serial_backend {

bool open(uint32_t n);
void close();
bool queue_status(QueueCounts* counts, bool* lost);
// The input count alone: one system call fewer where the output count costs one of its own.
bool input_queue(uint32_t* count, bool* lost);
// 1 with *byte set, 0 when none is queued (never waits for one), -1 on a failure (then *lost says
// whether the port is gone). Each backend takes what is queued in one system call and hands it
// out a byte at a time; queue_status counts the bytes it holds as queued.
int read_one(uint8_t* byte, bool* lost);
bool write_all(const uint8_t* data, std::size_t size, bool* lost);
// Waits on the port itself until `count` bytes are queued, for about bound_us at most: 1 when
// they are, 0 when the bound passed first, -1 on a failure (then *lost says whether the port is
// gone).
int wait_readable(uint32_t count, uint64_t bound_us, bool* lost);
void set_rts();
void set_dtr();

}  // namespace serial_backend
