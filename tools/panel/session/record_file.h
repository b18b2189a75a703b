// What the records need from the system: a file of their own opened for appending without
// waiting, whether it is empty, and whether two paths name one file.
#pragma once

#include <cstdio>
#include <string>

namespace vek::panel {

// A kind of record: how it is named in messages, the option that names it, and whether a line
// is the first line this kind of record writes into a new file.
struct RecordKind {
    const char* what;    // "trace", "readings file"
    const char* option;  // "--trace"
    bool (*first_line_is_ours)(const std::string& line);
};

// Opens a record for appending, without waiting: a FIFO nobody reads is refused rather than
// waited for. Refused too, and never written: a symbolic link (another file behind a name), a
// device or a FIFO, and a file that holds something already but does not begin with this kind's
// own first line: another program's file, or another kind of record. A file whose last line is
// unfinished gets its newline first, so that the record starts on a line of its own. The stream
// is fully buffered: the caller flushes. Null with *error set.
FILE* open_record_file(const std::string& path, const RecordKind& kind, std::string* error);
// True when the file holds nothing yet (a new file gets a header row); false too on failure.
bool record_file_empty(FILE* file);
// Whether two paths name one file: the same file where both exist, else the same full path.
bool same_record_file(const std::string& a, const std::string& b);

// Renames a full record to <path>.1, replacing the one before, so that a new file can begin
// under path. False with the reason: the record is then left as it is, never emptied.
bool rotate_record_file(const std::string& path, std::string* error);

// The platform's part of open_record_file: the file opened for reading and appending ("a+"),
// refused when it is not a regular file or is reached through a symbolic link.
FILE* open_record_for_append(const std::string& path, const RecordKind& kind, std::string* error);

}  // namespace vek::panel
