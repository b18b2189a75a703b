// The INI store's reader and writer, fed arbitrary files. The input is one byte naming the
// instance (section "korvanex-vek-driver-N"), four bytes of the delay to write (little endian),
// then the file's bytes. Checked:
// - reading and writing never crash, whatever the bytes;
// - a write changes at most the section's delay line: every other line of the file is kept byte
//   for byte, and the only lines added are the section's header and its delay line (an
//   unterminated last line may gain a line end);
// - reading back after the write returns the value written, writing it again changes nothing,
//   and another instance's delay reads as it did before.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_text.h"

namespace {

using namespace vek;

constexpr std::string_view kKey = "delay";
// Two fallbacks that cannot both be what a file holds: a read that differs between them found no value.
constexpr uint32_t kFallbackA = 0xFEEDFACEU;
constexpr uint32_t kFallbackB = 0x0BADF00DU;

void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "ini text: %s\n", what);
    std::abort();
}

std::string section_for(uint32_t number) { return "korvanex-vek-driver-" + std::to_string(number); }

// The byte-order mark the file starts with: it selects the encoding and belongs to no line.
std::string_view mark_of(std::string_view file) {
    for (const std::string_view mark : {std::string_view("\xEF\xBB\xBF"), std::string_view("\xFF\xFE"),
                                        std::string_view("\xFE\xFF")}) {
        if (file.substr(0, mark.size()) == mark) return mark;
    }
    return {};
}

// The file's characters after its mark: UTF-16 when the mark says so, bytes otherwise. A last
// odd byte of a UTF-16 file is no character to the reader; *odd_byte gets it (-1 when none).
using Chars = std::u32string;

Chars characters(std::string_view file, int* odd_byte) {
    Chars out;
    *odd_byte = -1;
    const std::string_view mark = mark_of(file);
    file.remove_prefix(mark.size());
    if (mark.size() != 2) {
        for (const char c : file) out.push_back(static_cast<unsigned char>(c));
        return out;
    }
    const bool le = mark[0] == '\xFF';
    std::size_t i = 0;
    for (; i + 1 < file.size(); i += 2) {
        const char32_t a = static_cast<unsigned char>(file[i]);
        const char32_t b = static_cast<unsigned char>(file[i + 1]);
        out.push_back(le ? (b << 8 | a) : (a << 8 | b));
    }
    if (i < file.size()) *odd_byte = static_cast<unsigned char>(file[i]);
    return out;
}

// Lines with their line ends (CRLF, CR or LF); a last line may have none.
std::vector<Chars> lines_of(const Chars& text) {
    std::vector<Chars> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != U'\r' && text[i] != U'\n') continue;
        if (text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
        lines.push_back(text.substr(start, i + 1 - start));
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool is_space(char32_t c) { return c == U' ' || (c >= U'\t' && c <= U'\r') || c == 0x1A; }

Chars trimmed(Chars s) {
    while (!s.empty() && is_space(s.back())) s.pop_back();
    std::size_t first = 0;
    while (first < s.size() && is_space(s[first])) ++first;
    return s.substr(first);
}

bool same_ascii(const Chars& s, std::string_view ascii, bool any_case) {
    if (s.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (any_case && c >= U'A' && c <= U'Z') c += U'a' - U'A';
        if (c != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

// A key line whose name is "delay", in any case: the name runs to the first '=' and, as a C
// string to the platform, to a NUL.
bool is_delay_line(const Chars& line) {
    const Chars content = trimmed(line);
    if (content.empty() || content[0] == U'[') return false;
    Chars name = content.substr(0, content.find(U'='));
    name = trimmed(name);
    name = name.substr(0, name.find(U'\0'));
    return same_ascii(name, kKey, true);
}

bool is_header_of(const Chars& line, const std::string& section) {
    return same_ascii(trimmed(line), "[" + section + "]", false);
}

void check_other_lines_kept(std::string_view before, std::string_view after, const std::string& section) {
    require(mark_of(before) == mark_of(after), "a write changed the byte-order mark");
    int old_odd = -1;
    int new_odd = -1;
    const std::vector<Chars> old_lines = lines_of(characters(before, &old_odd));
    const std::vector<Chars> new_lines = lines_of(characters(after, &new_odd));
    require(old_odd == new_odd, "a write lost or moved the odd last byte of a UTF-16 file");
    std::size_t head = 0;
    while (head < old_lines.size() && head < new_lines.size() && old_lines[head] == new_lines[head]) ++head;
    std::size_t tail = 0;
    while (tail + head < old_lines.size() && tail + head < new_lines.size() &&
           old_lines[old_lines.size() - 1 - tail] == new_lines[new_lines.size() - 1 - tail]) {
        ++tail;
    }
    const std::size_t removed = old_lines.size() - head - tail;
    require(removed <= 1, "a write changed more than one line");
    std::size_t added_from = head;
    if (removed == 1) {
        const Chars& old_line = old_lines[head];
        const bool unterminated_last = head + 1 == old_lines.size() && old_line.back() != U'\n' && old_line.back() != U'\r';
        const bool line_end_added = unterminated_last && head < new_lines.size() - tail &&
                                    new_lines[head].substr(0, old_line.size()) == old_line &&
                                    trimmed(new_lines[head].substr(old_line.size())).empty();
        require(line_end_added || is_delay_line(old_line), "a write changed a line other than the delay line");
        if (line_end_added) ++added_from;
    }
    for (std::size_t i = added_from; i < new_lines.size() - tail; ++i) {
        require(is_delay_line(new_lines[i]) || is_header_of(new_lines[i], section),
                "a write added a line that is neither the header nor the delay line");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint8_t head[5] = {0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 5 && i < size; ++i) head[i] = data[i];
    const uint32_t number = head[0];
    uint32_t value = 0;
    for (int i = 4; i >= 1; --i) value = value << 8 | head[i];
    const std::string_view file(reinterpret_cast<const char*>(data) + (size < 5 ? size : 5), size < 5 ? 0 : size - 5);
    const std::string section = section_for(number);
    const std::string other = section_for(number + 1);
    const std::string text = std::to_string(value);

    const uint32_t other_before = ini_read_uint(file, other, kKey, kFallbackA);
    const std::optional<std::string> written = ini_write_value(file, section, kKey, text);
    const std::string_view after = written ? std::string_view(*written) : file;
    if (!written) require(ini_read_uint(file, section, kKey, kFallbackA) == value, "nothing written, yet the value differs");

    require(ini_read_uint(after, section, kKey, kFallbackA) == value, "reading back does not give the value written");
    require(ini_read_uint(after, section, kKey, kFallbackB) == value, "reading back finds no value");
    require(!ini_write_value(after, section, kKey, text), "writing the same value again changes the file");
    require(ini_read_uint(after, other, kKey, kFallbackA) == other_before, "another instance's delay changed");
    if (written) check_other_lines_kept(file, after, section);
    return 0;
}
