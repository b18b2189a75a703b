#include "panel/session/csv_record.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "panel/line/line_clock.h"
#include "panel/session/snapshot.h"
#include "panel/session/record_file.h"

namespace vek::panel {

std::string csv_header() {
    std::string header = "time";
    for (int i = 1; i <= 16; ++i) header += ",in" + std::to_string(i);
    header += ",volts1,volts2";
    for (int i = 1; i <= 16; ++i) header += ",out" + std::to_string(i);
    return header + ",analog_out1,analog_out2,answering,line_state,answer_age_ms";
}

bool csv_first_line_is_ours(const std::string& line) { return line == csv_header(); }

const RecordKind kCsvRecord{"readings file", "--csv", csv_first_line_is_ours};

CsvRecord::~CsvRecord() { close(); }

namespace {

// The header of the readings files of earlier versions, which had no line_state column. Read
// only from a file already found regular: a FIFO would hold the open.
bool csv_header_of_old(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string old = csv_header();
    const std::string column = ",line_state";
    old.erase(old.find(column), column.size());
    return line == old;
}

}  // namespace

bool CsvRecord::open(const std::string& path, std::string* error) {
    file_ = open_record_file(path, kCsvRecord, error);
    if (file_ == nullptr && error->find("holds something else") != std::string::npos && csv_header_of_old(path)) {
        *error = "the readings file " + path + " was written by an earlier version of the panel, with other columns "
                 "(no line_state): name a new file";
    }
    if (file_ == nullptr) return false;
    path_ = path;
    // Appending to an earlier run's rows adds no second header.
    if (record_file_empty(file_)) std::fprintf(file_, "%s\n", csv_header().c_str());
    return true;
}

void CsvRecord::write(const PanelSnapshot& shot, int64_t wall_us) {
    if (file_ == nullptr) return;
    std::string row = local_time_text(wall_us);
    for (const bool on : shot.image.inputs) row += on ? ",1" : ",0";
    char number[32];
    for (const float volts : shot.image.volts) {
        std::snprintf(number, sizeof number, ",%.3f", static_cast<double>(volts));
        row += number;
    }
    for (const bool on : shot.image.outputs) row += on ? ",1" : ",0";
    for (const uint8_t value : shot.image.analog_out) row += "," + std::to_string(value);
    row += shot.monitored ? (shot.answering ? ",1" : ",0") : ",";
    row += std::string(",") + line_state_name(shot.state);
    if (shot.since_answer_ms >= 0) {
        std::snprintf(number, sizeof number, ",%.1f", shot.since_answer_ms);
        row += number;
    } else {
        row += ",";
    }
    std::fprintf(file_, "%s\n", row.c_str());
    flush();
}

void CsvRecord::note(const std::string& text) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "# %s %s\n", local_time_text(wall_now_us()).c_str(), text.c_str());
    flush();
}

void CsvRecord::flush() {
    if (std::fflush(file_) != 0 && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "vek-panel: cannot write the readings file %s: %s\n", path_.c_str(), std::strerror(errno));
    }
}

void CsvRecord::close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace vek::panel
