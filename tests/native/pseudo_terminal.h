// A pseudo-terminal whose far side the test holds, as a terminal emulator does: it types, and
// reads what the program on the terminal shows; and the delay dialog run on one.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "dialog/configure_dialog.h"

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return path_; }
    termios settings() const;
    bool type(const std::string& keys);
    void hang_up();
    // Reads what is shown until text appears in it, within 30 s, colours and line clearing left
    // out. What was shown up to there is consumed.
    bool shows(const std::string& text);

private:
    int master_ = -1;
    int slave_ = -1;  // held open, so that the far side sees no hang-up before the program opens it
    std::string path_;
    std::string screen_;
    bool in_sequence_ = false;
};

// Runs the delay dialog on a fresh pseudo-terminal, on a thread of its own as the host's thread
// would, and plays the user: once it shows `shown`, types `keys` (hangs up, for null). Its end
// code; in *failure what was amiss: the value not shown, no end within 30 s, the terminal's
// settings not restored after keys.
int32_t dialog_on_terminal(const vek::DialogRequest& request, const std::string& shown, const char* keys,
                           std::string* failure);
