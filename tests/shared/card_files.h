// A virtual card run as a process of its own (tools/virtual_card), known by its files: the log
// of the frames it took (--log), the FIFO it takes commands from (--control) and the file its
// replies go to. Plain files and a FIFO, read alike by the Wine programs through drive Z: and by
// the native bench.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct LoggedFrame {
    double ms;  // on the card's clock
    std::array<uint8_t, 7> bytes;
    bool valid;
};

// The frames the log lists so far, in order; a line still being written is left out.
std::vector<LoggedFrame> read_card_log(const std::string& path);
std::size_t valid_frames_in_log(const std::string& path);

class CardFiles {
public:
    // BASE.log, BASE.ctl and BASE.out.
    explicit CardFiles(const std::string& base);
    std::vector<LoggedFrame> frames() const { return read_card_log(log); }
    // Sends one command and gives the card's reply to it, "" when none came within 3 s.
    std::string command(const std::string& line) const;
    // The answers the card has sent so far, from its status line; -1 when it did not tell.
    long answers() const;

    std::string log, control, out;
};
