#include "tests/shared/card_files.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/shared/text_file.h"

namespace {

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The card's replies so far: its lines starting "ok" or "error:".
std::vector<std::string> replies(const std::string& out) {
    std::vector<std::string> lines;
    const std::string text = read_text(out);
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line.rfind("ok", 0) == 0 || line.rfind("error:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::vector<LoggedFrame> read_card_log(const std::string& path) {
    std::vector<LoggedFrame> frames;
    const std::string text = read_text(path);
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        // "2026-12-08T15:32:09.060+01:00 12.345 02 00 00 00 00 03 FC valid": the card's own ms
        // time the frames; the wall time (which logs of earlier versions lack) is skipped.
        const std::size_t space = text.find(' ', at);
        if (space != std::string::npos && space < end && text.find('T', at) < space) at = space + 1;
        LoggedFrame f{};
        unsigned b[7];
        char verdict[16] = {};
        if (std::sscanf(text.c_str() + at, "%lf %x %x %x %x %x %x %x %15s", &f.ms, &b[0], &b[1], &b[2], &b[3], &b[4],
                        &b[5], &b[6], verdict) != 9) {
            continue;
        }
        for (std::size_t i = 0; i < 7; ++i) f.bytes[i] = static_cast<uint8_t>(b[i]);
        f.valid = std::strcmp(verdict, "valid") == 0;
        frames.push_back(f);
    }
    return frames;
}

std::size_t valid_frames_in_log(const std::string& path) {
    std::size_t count = 0;
    for (const LoggedFrame& f : read_card_log(path)) count += f.valid ? 1 : 0;
    return count;
}

CardFiles::CardFiles(const std::string& base) : log(base + ".log"), control(base + ".ctl"), out(base + ".out") {}

std::string CardFiles::command(const std::string& line) const {
    const std::size_t before = replies(out).size();
    const double give_up = now_ms() + 3000;
    // The card reopens its FIFO after each writer: between the two it may refuse an open.
    bool sent = false;
    while (!sent && now_ms() < give_up) {
        if (FILE* fifo = std::fopen(control.c_str(), "wb")) {
            sent = std::fprintf(fifo, "%s\n", line.c_str()) > 0;
            std::fclose(fifo);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    while (sent && now_ms() < give_up) {
        const std::vector<std::string> now = replies(out);
        if (now.size() > before) return now[before];
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return "";
}

long CardFiles::answers() const {
    const std::string status = command("status");
    const std::size_t at = status.find(" answers ");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 9);
}
