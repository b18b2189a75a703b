// The card's frame log (the tool's --log, the panel's --card-log): a header line for each run,
// then one line per frame received: the local time with its offset from UTC (as the panel's
// records are stamped, so that they line up), the ms since the card started, the bytes:
//   # 2026-12-08T15:32:09.012+01:00 vek-virtual-card 0.2.0 log: link ports/com3, options --loopback
//   2026-12-08T15:32:09.060+01:00 48.215 02 00 00 00 00 03 FC valid
// appended to a file of its own. Logs of earlier versions had no wall time (12.345 02 00 ...);
// they are still taken, and appended to.
#pragma once

#include <cstdio>
#include <string>

#include "virtual_card.h"

// Opens path for appending. Refused, null with *error set: a symbolic link (another file behind
// the name), anything but a regular file, and a file that holds something already but does not
// begin with a log line: another program's file. An unfinished last line gets its newline first,
// then the header: "# <time> " and the given text.
FILE* open_card_log(const std::string& path, const std::string& header, std::string* error);

// "2026-12-08T15:32:09.060+01:00" for a moment on CLOCK_MONOTONIC.
std::string card_log_time(int64_t monotonic_ns);

// Appends the frame's line and flushes it.
void log_frame(FILE* log, const ReceivedFrame& frame);
