// What the live view keeps between its frames besides the session: the message line, a prompt
// being typed, and whether the help is open.
#pragma once

#include <string>

namespace vek::panel {

// Keys a to p switch outputs 1 to 16; A to P the virtual card's inputs.
constexpr int kChannels = 16;

enum class Prompt { none, card, analog };

struct ViewState {
    std::string message;
    Prompt prompting = Prompt::none;
    std::string prompt;
    bool help = false;
    bool traffic = false;  // the traffic pane, over the analog values and the counts
};

}  // namespace vek::panel
