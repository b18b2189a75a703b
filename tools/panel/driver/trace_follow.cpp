#include "panel/driver/trace_follow.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "panel/line/line_clock.h"

namespace vek::panel {

namespace {

// "2026-12-08 15:32:09.315 " before each line's text.
constexpr std::size_t kStampSize = 23;
// The most read at once; a larger backlog is read over the next calls.
constexpr uint64_t kReadMost = 1 << 20;

bool starts_with(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

// The line's local time as the steady clock's microseconds; now when it cannot be read, since
// the panel reads the lines within moments of their writing.
int64_t stamp_to_steady_us(const std::string& line) {
    const int64_t now = monitor_now_us();
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms) != 7) {
        return now;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1)) return now;
    const int64_t wall_us = static_cast<int64_t>(seconds) * 1000000 + ms * 1000;
    const int64_t age = wall_now_us() - wall_us;
    // A clock set back, or a line from long ago: its age cannot be trusted.
    if (age < 0 || age > 60000000) return now;
    return now - age;
}

std::size_t hex_count(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (std::isxdigit(static_cast<unsigned char>(text[i])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
            (i + 2 == text.size() || text[i + 2] == ' ') && (i == 0 || text[i - 1] == ' ')) {
            ++count;
        }
    }
    return count;
}

// The size through the open file, not its directory entry's: Windows brings the entry up to date
// only now and then while the driver holds the file open, so it lags what the trace has written.
bool open_size(std::ifstream& file, uint64_t* size) {
    if (!file.seekg(0, std::ios::end)) return false;
    const std::streamoff end = file.tellg();
    if (end < 0) return false;
    *size = static_cast<uint64_t>(end);
    return true;
}

}  // namespace

void TraceFollow::poll() {
    std::ifstream file(path_, std::ios::binary);
    uint64_t size = 0;
    if (!file || !open_size(file, &size)) return;
    // Renamed to .1 at the cap and begun again: a new file.
    if (size < offset_) {
        offset_ = 0;
        partial_.clear();
    }
    if (size == offset_) return;
    file.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk(static_cast<std::size_t>(std::min(size - offset_, kReadMost)), '\0');
    file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(file.gcount()));
    offset_ += chunk.size();
    partial_ += chunk;
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = partial_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        take_line(line);
    }
    partial_.erase(0, start);
}

void TraceFollow::skip_existing() {
    std::ifstream file(path_, std::ios::binary);
    uint64_t size = 0;
    offset_ = file && open_size(file, &size) ? size : 0;
    partial_.clear();
}

void TraceFollow::take_line(const std::string& line) {
    if (line.size() <= kStampSize) return;
    const int64_t at = stamp_to_steady_us(line);
    std::string text = line.substr(kStampSize + 1);
    if (starts_with(text, "(")) {
        const std::size_t close = text.find(") ");
        if (close != std::string::npos && text.find("lines dropped") < close) text.erase(0, close + 2);
    }
    // Each kind of line is tried in turn, the first that knows it takes it.
    if (!take_start_line(text) && !take_frame_line(at, text) && !take_fault_line(at, text) && !take_card_line(text)) {
        take_port_line(at, text);
    }
    state_.counts = tally_.counts();
}

bool TraceFollow::take_start_line(const std::string& text) {
    if (starts_with(text, "start: ")) {
        state_.writing = true;
        tally_.new_line();
        state_.silent = false;
        state_.lost = false;
        state_.corrupt_ports.clear();
        state_.scan_bad_sums = 0;
        state_.scan_bad_ends = 0;
        state_.start_failed = false;
        state_.start_ended = false;
        state_.found_port = 0;
        scanning_ = true;
    } else if (starts_with(text, "settings: ")) {
        state_.settings_note = text.substr(10);
    } else if (starts_with(text, "start failed")) {
        state_.start_failed = true;
        state_.start_ended = true;
        scanning_ = false;
    } else {
        return false;
    }
    return true;
}

bool TraceFollow::take_frame_line(int64_t at, const std::string& text) {
    if (starts_with(text, "tx ")) {
        uint8_t bytes[7] = {};
        unsigned b[7] = {};
        if (std::sscanf(text.c_str() + 3, "%x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6]) == 7) {
            for (int i = 0; i < 7; ++i) bytes[i] = static_cast<uint8_t>(b[i]);
            state_.frames = true;
            tally_.frame(at, bytes);
        }
    } else if (starts_with(text, "rx ")) {
        state_.frames = true;
        uint8_t bytes[9] = {};
        unsigned b[9] = {};
        const bool whole = std::sscanf(text.c_str() + 3, "%x %x %x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3], &b[4],
                                       &b[5], &b[6], &b[7], &b[8]) == 9;
        for (int i = 0; whole && i < 9; ++i) bytes[i] = static_cast<uint8_t>(b[i]);
        tally_.answer(at, whole ? bytes : nullptr);
    } else {
        return false;
    }
    return true;
}

bool TraceFollow::take_fault_line(int64_t at, const std::string& text) {
    unsigned long long count = 0;
    if (starts_with(text, "bad end byte")) {
        tally_.bad_end(at);
        if (scanning_) ++state_.scan_bad_ends;
    } else if (starts_with(text, "bad checksum")) {
        tally_.bad_sum(at);
        if (scanning_) ++state_.scan_bad_sums;
    } else if (std::sscanf(text.c_str(), "%llu stray bytes, the first", &count) == 1) {
        tally_.counts().stray_bytes += count;
        skip_stray_line_ = true;
    } else if (starts_with(text, "stray bytes")) {
        if (!skip_stray_line_) tally_.counts().stray_bytes += hex_count(text.substr(11));
        skip_stray_line_ = false;
    } else {
        return false;
    }
    return true;
}

bool TraceFollow::take_card_line(const std::string& text) {
    if (starts_with(text, "card silent")) {
        state_.silent = true;
    } else if (starts_with(text, "card answers again")) {
        state_.silent = false;
    } else {
        return false;
    }
    return true;
}

// "COM3 lost: <reason>", "COM3 reopened after 1203 ms", "COM3 only corrupt answers ...", "COM3 found".
void TraceFollow::take_port_line(int64_t at, const std::string& text) {
    unsigned port = 0;
    char rest[64] = {};
    if (std::sscanf(text.c_str(), "COM%u %63s", &port, rest) != 2) return;
    const std::string word = rest;
    if (word == "lost" || word == "lost:") {
        state_.lost = true;
        state_.lost_port = port;
        const std::size_t colon = text.find(": ");
        state_.lost_reason = colon == std::string::npos ? std::string() : text.substr(colon + 2);
    } else if (word == "reopened") {
        state_.lost = false;
        state_.silent = false;
        state_.reopened = text;
        state_.reopened_us = at;
        tally_.new_line();
    } else if (word == "only" && text.find("only corrupt answers") != std::string::npos) {
        state_.corrupt_ports.push_back(port);
    } else if (word == "found") {
        state_.start_ended = true;
        state_.found_port = port;
        scanning_ = false;
    }
}

}  // namespace vek::panel
