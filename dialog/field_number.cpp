#include "dialog/field_number.h"

namespace vek {

namespace {

// The platform reads the field into a buffer of 30 bytes, terminator included.
constexpr std::size_t kFieldBytesRead = 29;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

uint32_t field_number(const std::string& whole_text) {
    const std::string text = whole_text.substr(0, kFieldBytesRead);
    std::size_t at = 0;
    while (at < text.size() && is_space(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    if (at == text.size() || !is_digit(text[at])) return 0;

    uint64_t value = 0;
    for (; at < text.size() && is_digit(text[at]); ++at) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        if (value > UINT32_MAX) return 0;
    }
    const auto number = static_cast<uint32_t>(value);
    return negative ? 0u - number : number;
}

}  // namespace vek
