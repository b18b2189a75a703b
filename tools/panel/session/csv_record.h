// The readings as a table (--csv): one row per host cycle with the wall-clock time, the inputs,
// volts, outputs and analog outputs, whether the card was answering and the line's state, and a
// "# " line heading each session. Buffered, flushed once a cycle from the panel's own thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vek::panel {

struct PanelSnapshot;

class CsvRecord {
public:
    CsvRecord() = default;
    ~CsvRecord();
    CsvRecord(const CsvRecord&) = delete;
    CsvRecord& operator=(const CsvRecord&) = delete;

    // Appends to path; a new or empty file starts with the header row. False with the reason.
    bool open(const std::string& path, std::string* error);
    void write(const PanelSnapshot& shot, int64_t wall_us);
    bool failed() const { return failed_; }  // a row could not be written
    // "# <time> <text>": a line of the panel's own, which CSV readers skip as a comment.
    void note(const std::string& text);
    long size() const { return file_ == nullptr ? 0 : std::ftell(file_); }
    void close();

private:
    void flush();

    FILE* file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// The header row, without its newline.
std::string csv_header();
// Whether a file's first line is the header: the file is an earlier run's readings.
bool csv_first_line_is_ours(const std::string& line);

}  // namespace vek::panel
