// The symbolic link that names a pseudo-terminal as a port (ports/com3, dosdevices/com3), shared
// by the virtual card and the panel's line monitor. A link is only ever replaced or removed while
// it is still as its owner left it: someone else may have taken the name since.
#pragma once

#include <string>

enum class LinkOutcome {
    published,
    refused,  // something else sits at the name: it is left as it is
    failed,   // a system call failed
};

// Points link at target in one step. `previous` is what this program last pointed it at, empty
// at the first publish: then only a missing name or a symbolic link (an earlier run's port name)
// is replaced; afterwards only the link as it was left, or a missing name. *error says why not.
LinkOutcome publish_link(const std::string& link, const std::string& target, const std::string& previous,
                         std::string* error);

// Removes link only while it still points at target.
void remove_link_if_ours(const std::string& link, const std::string& target);

// Where a link points while its line is gone: a name nobody makes, so a driver that reopens the
// port fails, rather than reaching whatever terminal the system gives the old /dev/pts number.
std::string unplugged_target(const std::string& link);
