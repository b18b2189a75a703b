#include "config/ini_text.h"

#include <cstddef>
#include <vector>

namespace vek {

namespace {

enum class Encoding { bytes, utf8, utf16le, utf16be };

bool is_wide(Encoding encoding) { return encoding == Encoding::utf16le || encoding == Encoding::utf16be; }

// The file as a string of characters, with what it takes to put edited characters back.
struct Text {
    Encoding encoding;
    std::size_t mark_bytes;  // byte-order mark before the first character
    std::u16string chars;
};

bool starts_with(std::string_view file, std::string_view prefix) { return file.substr(0, prefix.size()) == prefix; }

Text decode(std::string_view file) {
    Text text{Encoding::bytes, 0, {}};
    if (starts_with(file, "\xEF\xBB\xBF")) {
        text.encoding = Encoding::utf8;
        text.mark_bytes = 3;
    } else if (starts_with(file, "\xFF\xFE")) {
        text.encoding = Encoding::utf16le;
        text.mark_bytes = 2;
    } else if (starts_with(file, "\xFE\xFF")) {
        text.encoding = Encoding::utf16be;
        text.mark_bytes = 2;
    }
    const std::string_view body = file.substr(text.mark_bytes);
    if (is_wide(text.encoding)) {
        const bool little = text.encoding == Encoding::utf16le;
        text.chars.reserve(body.size() / 2);
        for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
            const auto first = static_cast<unsigned char>(body[i]);
            const auto second = static_cast<unsigned char>(body[i + 1]);
            text.chars.push_back(static_cast<char16_t>(little ? (second << 8 | first) : (first << 8 | second)));
        }
    } else {
        // UTF-8 stays in bytes: every character the rules look at is ASCII, and no byte of a
        // multi-byte sequence is one.
        text.chars.reserve(body.size());
        for (const char c : body) text.chars.push_back(static_cast<unsigned char>(c));
    }
    return text;
}

std::size_t byte_offset(const Text& text, std::size_t char_pos) {
    return text.mark_bytes + (is_wide(text.encoding) ? 2 * char_pos : char_pos);
}

std::string encode(const Text& text, std::string_view ascii) {
    if (!is_wide(text.encoding)) return std::string(ascii);
    std::string out;
    for (const char c : ascii) {
        if (text.encoding == Encoding::utf16be) out.push_back('\0');
        out.push_back(c);
        if (text.encoding == Encoding::utf16le) out.push_back('\0');
    }
    return out;
}

// Measured: only ASCII white space and ^Z (the DOS end-of-file mark) are trimmed; no-break and
// other Unicode spaces are not.
bool is_space(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x1A; }

bool is_line_end(char16_t c) { return c == u'\n' || c == u'\r'; }

char16_t ascii_lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Stored names and values are C strings to the platform: a NUL ends them.
std::u16string_view up_to_nul(std::u16string_view s) { return s.substr(0, s.find(u'\0')); }

bool same_name(std::u16string_view stored, std::string_view wanted) {
    stored = up_to_nul(stored);
    if (stored.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (ascii_lower(stored[i]) != ascii_lower(static_cast<unsigned char>(wanted[i]))) return false;
    }
    return true;
}

struct Range {
    std::size_t begin;
    std::size_t end;
};

enum class LineKind { blank, header, key };

struct Line {
    LineKind kind;
    Range content;     // trimmed
    std::size_t next;  // first character after the line's end
    bool has_line_end;
    Range name;      // header name or key name, trimmed
    bool has_value;  // a key line with '='
    Range value;     // trimmed; empty and right after the '=' when there is no text
};

Range trimmed(const std::u16string& s, Range r) {
    while (r.begin < r.end && is_space(s[r.begin])) ++r.begin;
    while (r.end > r.begin && is_space(s[r.end - 1])) --r.end;
    return r;
}

Line parse_line(const std::u16string& s, std::size_t start) {
    std::size_t end = start;
    while (end < s.size() && !is_line_end(s[end])) ++end;
    Line line{};
    line.next = end;
    if (line.next < s.size() && s[line.next] == u'\r') ++line.next;
    if (line.next < s.size() && s[line.next] == u'\n') ++line.next;
    line.has_line_end = line.next > end;
    line.content = trimmed(s, {start, end});
    const Range c = line.content;
    if (c.begin == c.end) {
        line.kind = LineKind::blank;
        return line;
    }
    if (s[c.begin] == u'[') {
        const std::size_t close = s.find_last_of(u']', c.end - 1);
        if (close != std::u16string::npos && close > c.begin) {
            line.kind = LineKind::header;
            line.name = trimmed(s, {c.begin + 1, close});
            return line;
        }
    }
    line.kind = LineKind::key;
    std::size_t equals = c.begin;
    while (equals < c.end && s[equals] != u'=') ++equals;
    line.name = trimmed(s, {c.begin, equals});
    line.has_value = equals < c.end;
    if (line.has_value) {
        line.value = trimmed(s, {equals + 1, c.end});
        if (line.value.begin == line.value.end) line.value = {equals + 1, equals + 1};
    }
    return line;
}

std::vector<Line> parse_lines(const std::u16string& s) {
    std::vector<Line> lines;
    for (std::size_t pos = 0; pos < s.size();) {
        lines.push_back(parse_line(s, pos));
        pos = lines.back().next;
    }
    return lines;
}

std::u16string_view view(const std::u16string& s, Range r) {
    return std::u16string_view(s).substr(r.begin, r.end - r.begin);
}

// Where a key stands: the first header of the section's name, the first key of the key's name
// under it, and the section's last non-blank line (the header itself when it has none).
struct Place {
    std::optional<std::size_t> header;
    std::optional<std::size_t> key;
    std::size_t last_line = 0;
};

Place find_key(const Text& text, const std::vector<Line>& lines, std::string_view section, std::string_view key) {
    Place place;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (!place.header) {
            if (line.kind == LineKind::header && same_name(view(text.chars, line.name), section)) {
                place.header = i;
                place.last_line = i;
            }
            continue;
        }
        if (line.kind == LineKind::header) break;
        if (line.kind == LineKind::blank) continue;
        place.last_line = i;
        if (!place.key && same_name(view(text.chars, line.name), key)) place.key = i;
    }
    return place;
}

std::u16string_view stored_value(const Text& text, const Line& line) { return up_to_nul(view(text.chars, line.value)); }

std::string_view first_line_end(const Text& text) {
    const std::size_t at = text.chars.find_first_of(u"\r\n");
    if (at == std::u16string::npos) return "\r\n";
    if (text.chars[at] == u'\n') return "\n";
    return (at + 1 < text.chars.size() && text.chars[at + 1] == u'\n') ? "\r\n" : "\r";
}

std::string splice(std::string_view file, std::size_t from, std::size_t to, std::string_view with) {
    std::string out;
    out.reserve(file.size() + with.size());
    out.append(file.substr(0, from)).append(with).append(file.substr(to));
    return out;
}

bool equals_ascii(std::u16string_view stored, std::string_view ascii) {
    if (stored.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (stored[i] != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

int digit_value(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 99;
}

// The platform drops a pair of matching outer quotes; a lone quote is text.
std::u16string_view without_outer_quotes(std::u16string_view value) {
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0])
        return value.substr(1, value.size() - 2);
    return value;
}

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | code >> 18));
        out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A lone surrogate cannot be UTF-8; it becomes U+FFFD, as a conversion to UTF-8 would make it.
std::string to_utf8(std::u16string_view chars) {
    std::string out;
    out.reserve(chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const char16_t c = chars[i];
        if (is_high_surrogate(c) && i + 1 < chars.size() && is_low_surrogate(chars[i + 1])) {
            append_utf8(out, 0x10000u + ((c - 0xD800u) << 10) + (chars[++i] - 0xDC00u));
        } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

std::string to_bytes(std::u16string_view chars) {
    std::string out;
    out.reserve(chars.size());
    for (const char16_t c : chars) out.push_back(static_cast<char>(c));
    return out;
}

}  // namespace

std::optional<uint32_t> profile_text_to_uint(std::u16string_view value) {
    // The platform copies the value into a 30-character buffer, dropping matching outer quotes;
    // when the whole unquoted value fits it removes the last character copied, which is the
    // closing quote unless the value was cut short.
    constexpr std::size_t kBuffer = 30;
    value = up_to_nul(value);
    bool quoted = false;
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0]) {
        quoted = true;
        value.remove_prefix(1);
    }
    std::u16string_view copied = value.substr(0, kBuffer - 1);
    if (quoted && kBuffer >= value.size()) copied.remove_suffix(1);
    if (copied.empty()) return std::nullopt;

    std::size_t i = 0;
    while (i < copied.size() && copied[i] <= u' ') ++i;
    bool negative = false;
    if (i < copied.size() && (copied[i] == u'+' || copied[i] == u'-')) negative = copied[i++] == u'-';
    uint32_t base = 10;
    if (i + 1 < copied.size() && copied[i] == u'0') {
        const char16_t prefix = copied[i + 1];
        base = prefix == u'x' ? 16 : prefix == u'o' ? 8 : prefix == u'b' ? 2 : 10;
        if (base != 10) i += 2;
    }
    uint32_t total = 0;
    for (; i < copied.size(); ++i) {
        const int digit = digit_value(copied[i]);
        if (digit >= static_cast<int>(base)) break;
        total = total * base + static_cast<uint32_t>(digit);
    }
    return negative ? 0u - total : total;
}

uint32_t ini_read_uint(std::string_view file, std::string_view section, std::string_view key, uint32_t fallback) {
    const Text text = decode(file);
    const std::vector<Line> lines = parse_lines(text.chars);
    const Place place = find_key(text, lines, section, key);
    if (!place.key || !lines[*place.key].has_value) return fallback;
    return profile_text_to_uint(stored_value(text, lines[*place.key])).value_or(fallback);
}

std::optional<std::string> ini_read_text(std::string_view file, std::string_view section, std::string_view key) {
    const Text text = decode(file);
    const std::vector<Line> lines = parse_lines(text.chars);
    const Place place = find_key(text, lines, section, key);
    if (!place.key || !lines[*place.key].has_value) return std::nullopt;
    const std::u16string_view value = without_outer_quotes(stored_value(text, lines[*place.key]));
    return is_wide(text.encoding) ? to_utf8(value) : to_bytes(value);
}

std::optional<std::string> ini_write_value(std::string_view file, std::string_view section, std::string_view key,
                                           std::string_view value) {
    const Text text = decode(file);
    const std::vector<Line> lines = parse_lines(text.chars);
    const Place place = find_key(text, lines, section, key);
    const std::string_view eol = first_line_end(text);

    if (place.key) {
        const Line& line = lines[*place.key];
        if (!line.has_value) {
            const std::size_t at = byte_offset(text, line.content.end);
            return splice(file, at, at, encode(text, std::string("=").append(value)));
        }
        if (equals_ascii(stored_value(text, line), value)) return std::nullopt;
        return splice(file, byte_offset(text, line.value.begin), byte_offset(text, line.value.end),
                      encode(text, value));
    }

    std::string added;
    std::size_t at = text.chars.size();
    if (place.header) {
        const Line& last = lines[place.last_line];
        if (last.has_line_end)
            at = last.next;
        else
            added.append(eol);
    } else {
        if (!lines.empty() && !lines.back().has_line_end) added.append(eol);
        added.append("[").append(section).append("]").append(eol);
    }
    // A lone CR right before a LF would join it into one line end, and the line that LF ends
    // (a blank one) would be gone.
    const bool lf_follows = at < text.chars.size() && text.chars[at] == u'\n';
    added.append(key).append("=").append(value).append(lf_follows && eol == "\r" ? "\r\n" : eol);
    const std::size_t at_byte = byte_offset(text, at);
    return splice(file, at_byte, at_byte, encode(text, added));
}

}  // namespace vek
