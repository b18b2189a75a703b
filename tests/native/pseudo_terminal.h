// A pseudo-terminal whose far side the test holds, as a terminal emulator does: it types, and
// reads what the program on the terminal shows.
#pragma once

#include <termios.h>

#include <string>

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
