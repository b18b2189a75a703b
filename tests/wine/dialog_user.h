// The user at the driver's delay dialog under Wine, on a virtual display: while the host's thread
// waits in DRV_CONFIGURE, another thread finds the dialog by its caption, reads its field, types
// into it and presses a button.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "tests/stories/story.h"

// A window of the host's own, shown and made active, or shown without ever being activated (a
// panel shown without taking the focus); the dialog must belong to it either way.
HWND make_host_window(bool active);

// Acts as `user` once the dialog shows its value, until the host's call has returned; what was
// amiss, or "": the value shown, the focus on OK, and `owner` owning the dialog and disabled while
// it runs.
std::string act_at_dialog(const DialogUser& user, HWND owner, const std::atomic<bool>& returned);
