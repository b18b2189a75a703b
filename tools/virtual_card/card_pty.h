// The pseudo-terminal the card sits on, and the symbolic link that names the driver's end.
#pragma once

#include <string>

struct CardPty {
    int master = -1;     // the card's end, non-blocking
    int slave = -1;      // held open by the card so the line stays raw and never hangs up
    std::string device;  // /dev/pts/N, the driver's end
};

bool open_card_pty(CardPty* pty, std::string* error);
void close_card_pty(CardPty* pty);

// Points link at target, replacing whatever is there in one step.
bool publish_link(const std::string& link, const std::string& target, std::string* error);
// Removes link only while it still points at target: someone may have reused the name since.
void remove_link_if_ours(const std::string& link, const std::string& target);
