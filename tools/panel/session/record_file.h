// What the records need from the system: a file opened for appending without waiting, and
// whether it is empty.
#pragma once

#include <cstdio>
#include <string>

namespace vek::panel {

// Opens a record for appending, without waiting: a FIFO nobody reads is refused rather than
// waited for, and a full one loses lines rather than holding up the panel. Null with *error set.
FILE* open_record_file(const std::string& path, const std::string& what, std::string* error);
// True when the file holds nothing yet (a new file gets a header row); false too on failure.
bool record_file_empty(FILE* file);

}  // namespace vek::panel
