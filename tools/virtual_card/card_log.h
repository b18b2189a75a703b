// The card's frame log (the tool's --log, the panel's --card-log): one line per frame received,
//   12.345 02 00 00 00 00 03 FC valid
// appended to a file of its own.
#pragma once

#include <cstdio>
#include <string>

#include "virtual_card.h"

// Opens path for appending. Refused, null with *error set: a symbolic link (another file behind
// the name), anything but a regular file, and a file that holds something already but does not
// begin with a log line: another program's file. An unfinished last line gets its newline first.
FILE* open_card_log(const std::string& path, std::string* error);

// Appends the frame's line and flushes it.
void log_frame(FILE* log, const ReceivedFrame& frame);
