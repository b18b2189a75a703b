// The pseudo-terminal the card sits on.
#pragma once

#include <string>

struct CardPty {
    int master = -1;     // the card's end, non-blocking
    int slave = -1;      // held open by the card so the line stays raw and never hangs up
    std::string device;  // /dev/pts/N, the driver's end
};

bool open_card_pty(CardPty* pty, std::string* error);
void close_card_pty(CardPty* pty);
