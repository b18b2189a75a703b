// The tool's command language: one line in, one reply line out, starting "ok" or "error:".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "virtual_card.h"

struct CommandState {
    VirtualCard& card;
    std::string link;  // shown by status
    struct Deferred {
        std::size_t frames;  // runs once the card has received this many valid frames
        std::string command;
    };
    std::vector<Deferred> deferred;
    bool quit = false;
};

// An empty reply means the line held no command (blank, or a # comment).
std::string run_command(CommandState& state, const std::string& line);
// Runs the deferred commands that are due, in the order they were given; returns their replies.
std::vector<std::string> run_due_commands(CommandState& state);

extern const char* const kCommandHelp;
