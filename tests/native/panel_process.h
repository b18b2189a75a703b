// vek-panel run as a user runs it: the real tool, as a process of its own, with the real driver
// library it loads.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/shared/text_file.h"

struct PanelRun {
    int status = -1;
    std::vector<std::string> lines;  // standard output, a JSON object a line
    std::string errors;              // standard error
    std::string all_output() const;
};

// Runs the panel to its end (ended after 60 s: a bound on a hang); on_line sees each line of its
// standard output as it comes, with its process id.
PanelRun run_panel(std::vector<std::string> args,
                   const std::function<void(pid_t, const std::string&)>& on_line = nullptr);
