// Whole files as text, read and written with the C library alone, so that the Windows programs
// (through drive Z:) and the native ones read the same files the same way; and their lines.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

inline std::string read_text(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

inline void write_text(const std::string& path, const std::string& text) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Whether a line starts with the panel's record stamp, ISO 8601 local time with its offset from
// UTC: "2026-12-08T14:03:07.123+01:00 " (30 characters).
inline bool starts_with_iso_time(const std::string& line) {
    static const char kPattern[] = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd ";
    if (line.size() < sizeof kPattern - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const char c = line[i];
        const bool ok = kPattern[i] == 'd' ? c >= '0' && c <= '9' : kPattern[i] == '+' ? c == '+' || c == '-' : c == kPattern[i];
        if (!ok) return false;
    }
    return true;
}

// Whether a line starts with the trace's time stamp, "2026-12-08 14:03:07.123 " (24 characters).
inline bool starts_with_time(const std::string& line) {
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < sizeof kPattern - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : line[i] != kPattern[i]) return false;
    }
    return true;
}
