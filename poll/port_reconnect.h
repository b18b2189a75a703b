// The poll thread's answer to a port found gone (a USB adapter dropped off the bus, a cable
// pulled): it reopens the same port by itself, never another, since a different device may sit
// on another one.
#pragma once

#include "poll/driver_context.h"
#include "poll/stop_signal.h"

namespace vek {

// How soon the first attempt comes: soon after a port that had worked, a second later after one
// that was lost again before the card answered on it (a port that opens and fails at once would
// otherwise be reopened ten times a second).
enum class FirstReopen { soon, after_a_second };

// Closes the lost port, COMn as it was when found gone (SerialPort::lost_port), then tries to
// open COMn again, first as `first` says and then once a second, sleeping on the stop signal in
// between. True with the port open again and RTS and DTR raised, as discovery leaves them; false
// as soon as stop asks the thread to end, with the port closed, or at once when another port has
// been opened since the loss.
bool reopen_lost_port(Card& card, StopSignal& stop, uint32_t n, FirstReopen first);

}  // namespace vek
