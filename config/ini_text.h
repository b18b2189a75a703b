// The text of an INI file, read the way the Windows private-profile functions read it, and
// edited so that every byte the edit is not about stays as it was.
//
// Reading rules, as the platform applies them: lines end at LF, CR or CRLF and are trimmed of
// ASCII white space and ^Z; a trimmed line that starts with '[' and holds a ']' is a header
// whose name runs to the last ']'; any other line is a key, named by the text before its first
// '='; names compare without regard to ASCII case and stop at a NUL; ';' and '#' mean nothing;
// only the first section of a name is searched, and the first key of a name in it wins. A
// UTF-8, UTF-16LE or UTF-16BE byte-order mark selects the encoding; without one, bytes are
// characters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

// As GetPrivateProfileIntA: the key's value read as a number (see profile_text_to_uint), or
// fallback when the section, the key or its value is missing or empty.
uint32_t ini_read_uint(std::string_view file, std::string_view section, std::string_view key, uint32_t fallback);

// As GetPrivateProfileStringA with a buffer large enough: the key's value with matching outer
// quotes removed ("" and '' read as empty), or nothing when the section, the key or its '=' is
// missing. The characters of a UTF-16 file come back as UTF-8, the bytes of any other file as
// they are.
std::optional<std::string> ini_read_text(std::string_view file, std::string_view section, std::string_view key);

// As WritePrivateProfileStringA, without rewriting the rest of the file: the file's new bytes
// with the key's value replaced, the key added after the last line of its section, or the
// section and key appended at the end. Inserted lines take the file's first line ending (CRLF
// when it has none) and its encoding. Returns nothing when the stored value already equals
// value, so that the file need not be written at all. value must be ASCII.
std::optional<std::string> ini_write_value(std::string_view file, std::string_view section, std::string_view key,
                                           std::string_view value);

// A profile value as a number, the way the platform converts it: at most the first 29
// characters count, after matching outer quotes are removed; then leading control characters
// and spaces are skipped, one '+' or '-' is taken, and "0x", "0o" or "0b" picks the base
// (decimal otherwise; "010" is ten). Digits are read up to the first that does not belong, and
// the result wraps modulo 2^32. Returns nothing when no character is left after the quotes.
std::optional<uint32_t> profile_text_to_uint(std::u16string_view value);

}  // namespace vek
