// Finding the card: no setting names its port, so every start scans COM1 to COM127 and keeps the
// first port on which a valid input frame comes back.
#pragma once

#include <cstdint>

constexpr uint32_t kProbeAttempts = 100;

// 0 when the card answered on COMn; the port then stays open and configured, with RTS and DTR
// raised and the image's inputs set from the answer. -1 otherwise, with the port left open if it
// opened at all (the next open or close deals with it).
int32_t probe_port(uint32_t n);

// 0 with the card's port open, or -1 after telling the user that no card answered.
int32_t find_card();

// The one message to the user: "Cannot find I/O card, please check connection".
void show_no_card_message();
