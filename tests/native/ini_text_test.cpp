// Reading and editing INI text beyond the golden cases: further value forms and characters
// measured on the platform's profile functions, the UTF-16 encodings, and edits at the edges.
#include "config/ini_text.h"

#include <gtest/gtest.h>

namespace {

using namespace vek;

using namespace std::string_literals;

uint32_t read_delay(const std::string& file, const char* section = "s") {
    return ini_read_uint(file, section, "delay", 50);
}

std::string utf16le(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

std::string utf16be(const std::u16string& text) {
    std::string out = "\xFE\xFF";
    for (char16_t c : text) out += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    return out;
}

TEST(IniRead, ValueFormsMeasuredOnThePlatform) {
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"\"\r\n"), 50u) << "nothing left inside the quotes";
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"\r\n"), 0u) << "a lone quote is text";
    EXPECT_EQ(read_delay("[s]\r\ndelay=0x\r\n"), 0u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=0X10\r\n"), 0u) << "prefixes are lower case only";
    EXPECT_EQ(read_delay("[s]\r\ndelay=0b101\r\n"), 5u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=0o17\r\n"), 15u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=0xfF\r\n"), 255u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=\" \x01-7\"\r\n"), 4294967289u) << "control characters skipped before the sign";
    EXPECT_EQ(read_delay("[s]\r\ndelay=\x01\x02"
                         "5\r\n"),
              5u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"9\"x\"\r\n"), 9u);
    EXPECT_EQ(read_delay("[s]\r\ndelay='12'\r\n"), 12u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"12'\r\n"), 0u) << "quotes must match";
    EXPECT_EQ(read_delay("[s]\r\ndelay=- 5\r\n"), 0u) << "no space after the sign";
    EXPECT_EQ(read_delay("[s]\r\ndelay\r\n"), 50u) << "a key without '=' has no value";
    // Inside quotes the buffer keeps 28 digits either way: the last one copied is dropped.
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"1234567890123456789012345678\"\r\n"), 3191403342u);
    EXPECT_EQ(read_delay("[s]\r\ndelay=\"12345678901234567890123456789\"\r\n"), 3191403342u);
}

TEST(IniRead, CharactersMeasuredOnThePlatform) {
    EXPECT_EQ(read_delay("[s]\r\n\x1a"
                         "delay=8\x1a\r\n"),
              8u)
        << "^Z is white space";
    EXPECT_EQ(read_delay("[s]\r\n\x0b"
                         "delay=9\x0c\r\n"),
              9u);
    EXPECT_EQ(read_delay("[s]\r\n\xA0"
                         "delay\xA0=\xA0"
                         "75\r\n"),
              50u)
        << "no-break space is not white space";
    EXPECT_EQ(read_delay("[s]\r\ndelay=7\0junk\r\n"s), 7u);
    EXPECT_EQ(read_delay("[s]\r\nde\0lay=49\r\ndelay\0x=51\r\n"s), 51u) << "a NUL ends a name";
    EXPECT_EQ(read_delay("[s\0t]\r\ndelay=52\r\n"s), 52u);
    EXPECT_EQ(read_delay("\n\r[s]\n\rdelay=53"), 53u);
    EXPECT_EQ(read_delay("[S]\r\nDeLaY=54\r\n"), 54u);
    EXPECT_EQ(read_delay("[s]\r\n[s]\r\ndelay=55\r\n"), 50u) << "only the first section of a name is searched";
}

TEST(IniRead, ByteOrderMarksSelectTheEncoding) {
    EXPECT_EQ(read_delay(utf16le(u"[s]\r\ndelay=47\r\n")), 47u);
    EXPECT_EQ(read_delay(utf16be(u"[s]\r\ndelay=48")), 48u);
    EXPECT_EQ(read_delay(utf16le(u"[s]\r\n\u3000delay\u00A0=\u200042\r\n")), 50u) << "Unicode spaces are not trimmed";
    EXPECT_EQ(read_delay(utf16le(u"[s]\r\ndelay=\uFF14\uFF15\r\n")), 0u) << "full-width digits are not digits";
    std::string no_mark = utf16le(u"[s]\r\ndelay=47\r\n").substr(2);
    EXPECT_EQ(read_delay(no_mark), 50u) << "without a mark the bytes are read as they are";
    EXPECT_EQ(read_delay("\xEF\xBB\xBF[s]\r\n\xC2\xA0"
                         "delay=46\r\n"),
              50u);
    EXPECT_EQ(read_delay("\xEF\xBB\xBF[s]\r\ndelay=46\r\n"), 46u);
}

TEST(IniRead, TextComesBackAsThePlatformGivesIt) {
    const std::optional<std::string> missing;
    const struct {
        std::string file;
        std::optional<std::string> value;
    } rows[] = {
        {"[s]\r\ntrace = C:\\logs\\vek.log ; line 7\r\n", "C:\\logs\\vek.log ; line 7"},
        {"[s]\r\ntrace=\"/tmp/with space.log\"\r\n", "/tmp/with space.log"},
        {"[s]\r\ntrace='x'\r\n", "x"},
        {"[s]\r\ntrace=\"\"\r\n", ""},
        {"[s]\r\ntrace=\"\r\n", "\""},                  // a lone quote is text
        {"[s]\r\ntrace=\"x'\r\n", "\"x'"},              // quotes must match
        {"[s]\r\ntrace=\"a\"b\"\r\n", "a\"b"},          // only the outer pair goes
        {"[s]\r\ntrace=a\0b\r\n"s, "a"},                 // a NUL ends the value
        {"[s]\r\ntrace=\r\n", ""},
        {"[s]\r\ntrace\r\n", missing},                   // no '=', no value
        {"[s]\r\nother=1\r\n", missing},
        {"[t]\r\ntrace=x\r\n", missing},
        {"[S]\r\nTRACE=y\r\n", "y"},
        {utf16le(u"[s]\r\ntrace=C:\\\u00E9t\u00E9\U0001F600.log\r\n"), "C:\\\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80.log"},
        {utf16be(u"[s]\r\ntrace=" + std::u16string(1, char16_t{0xD800}) + u"\r\n"), "\xEF\xBF\xBD"},  // a lone surrogate
        {"[s]\r\ntrace=\xE9t\xE9\r\n", "\xE9t\xE9"},  // without a mark, bytes stay bytes
    };
    for (const auto& row : rows) EXPECT_EQ(ini_read_text(row.file, "s", "trace"), row.value) << row.file;
}

TEST(IniWrite, EditsKeepEveryOtherByte) {
    // Measured on the platform: a key without '=' gains one; a NUL ends the stored value.
    EXPECT_EQ(ini_write_value("[s]\r\ndelay\r\nx=1\r\n", "s", "delay", "5"), "[s]\r\ndelay=5\r\nx=1\r\n");
    EXPECT_EQ(ini_write_value("[s]\r\ndelay=7\0junk\r\n"s, "s", "delay", "7"), std::nullopt);
    EXPECT_EQ(ini_write_value("[s]\r\nDelay = 5\r\n", "s", "delay", "5"), std::nullopt);
    EXPECT_EQ(ini_write_value("[s]\r\ndelay=  \r\n", "s", "delay", "5"), "[s]\r\ndelay=5  \r\n");
    EXPECT_EQ(ini_write_value("[s]\r\ndelay = 5 ; five\r\n", "s", "delay", "6"), "[s]\r\ndelay = 6\r\n");
    // A new key follows the section's last line and takes the file's line ending.
    EXPECT_EQ(ini_write_value("[s]\nx=1\n\n\n[t]\n", "s", "delay", "5"), "[s]\nx=1\ndelay=5\n\n\n[t]\n");
    EXPECT_EQ(ini_write_value("[s]\rx=1\r[t]\r", "s", "delay", "5"), "[s]\rx=1\rdelay=5\r[t]\r");
    EXPECT_EQ(ini_write_value("[s]\r\nx=1", "s", "delay", "5"), "[s]\r\nx=1\r\ndelay=5\r\n");
    EXPECT_EQ(ini_write_value("[s]", "s", "delay", "5"), "[s]\r\ndelay=5\r\n");
    EXPECT_EQ(ini_write_value("[s]\n\n\n", "s", "delay", "5"), "[s]\ndelay=5\n\n\n");
    // A new section goes at the end.
    EXPECT_EQ(ini_write_value("", "s", "delay", "5"), "[s]\r\ndelay=5\r\n");
    EXPECT_EQ(ini_write_value("\xEF\xBB\xBF", "s", "delay", "5"), "\xEF\xBB\xBF[s]\r\ndelay=5\r\n");
    EXPECT_EQ(ini_write_value("x=1\n", "s", "delay", "5"), "x=1\n[s]\ndelay=5\n");
    EXPECT_EQ(ini_write_value("[t]\ny=2", "s", "delay", "5"), "[t]\ny=2\n[s]\ndelay=5\n");
}

TEST(IniWrite, ANewLineNeverJoinsTheLineEndOfTheLineAfterIt) {
    // A file whose first line ends in a lone CR and whose section is followed by a blank LF
    // line: a new line ending in a lone CR would make CR LF of it, and the blank line would be gone.
    EXPECT_EQ(ini_write_value("[t]\r[s]\nx=1\n\n[u]\n", "s", "delay", "5"), "[t]\r[s]\nx=1\ndelay=5\r\n\n[u]\n");
    EXPECT_EQ(ini_write_value("[t]\r[s]\nx=1\n\n", "s", "delay", "5"), "[t]\r[s]\nx=1\ndelay=5\r\n\n");
    EXPECT_EQ(ini_write_value(utf16le(u"[t]\r[s]\n\n"), "s", "delay", "5"), utf16le(u"[t]\r[s]\ndelay=5\r\n\n"));
    // Where nothing or a CR follows, the lone CR stays.
    EXPECT_EQ(ini_write_value("[t]\r[s]\rx=1\r\r", "s", "delay", "5"), "[t]\r[s]\rx=1\rdelay=5\r\r");
}

TEST(IniWrite, KeepsTheFilesUtf16Encoding) {
    EXPECT_EQ(ini_write_value(utf16le(u"[s]\r\nx=1\r\n"), "s", "delay", "5"), utf16le(u"[s]\r\nx=1\r\ndelay=5\r\n"));
    EXPECT_EQ(ini_write_value(utf16be(u"[s]\r\nx=1"), "s", "delay", "5"), utf16be(u"[s]\r\nx=1\r\ndelay=5\r\n"));
    EXPECT_EQ(ini_write_value(utf16le(u"[s]\r\ndelay=10 \u00E9\r\n"), "s", "delay", "20"),
              utf16le(u"[s]\r\ndelay=20\r\n"));
    EXPECT_EQ(ini_write_value(utf16le(u"[\u00E9]\r\n"), "s", "delay", "5"), utf16le(u"[\u00E9]\r\n[s]\r\ndelay=5\r\n"));
}

TEST(IniWrite, ReadsBackWhatItWrote) {
    const std::string files[] = {"",
                                 "[s]",
                                 "[s]\r\ndelay=\"\"",
                                 "[S]\nDELAY\n",
                                 "x\r[s]\rdelay=0x10\r[s]\rdelay=1",
                                 utf16le(u"[s]\r\n"),
                                 "[s]\r\n\x1a"
                                 "delay\x1a=\x1a"
                                 "3"};
    for (const std::string& file : files) {
        for (const char* value : {"0", "50", "4294967295"}) {
            const std::string written = ini_write_value(file, "s", "delay", value).value_or(file);
            EXPECT_EQ(ini_read_uint(written, "s", "delay", 7), std::stoul(value)) << file;
            EXPECT_EQ(ini_write_value(written, "s", "delay", value), std::nullopt) << "a second write changes nothing";
        }
    }
}

}  // namespace
