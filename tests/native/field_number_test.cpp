#include "dialog/field_number.h"

#include <gtest/gtest.h>

using vek::field_number;

// Each case was measured on Wine 8.0: the text set into a dialog's edit field, read back with
// GetDlgItemInt(unsigned).
TEST(FieldNumber, ReadsTheFieldAsTheWindowsDialogReadsIt) {
    const struct {
        const char* text;
        uint32_t value;
    } measured[] = {
        {"", 0},
        {"120", 120},
        {" 120", 120},
        {"  7", 7},
        {"\t9", 9},
        {"120 ", 120},
        {"12a", 12},
        {"1 2", 1},
        {"007", 7},
        {"abc", 0},
        {"\xE9", 0},
        {"+5", 5},
        {"-5", 4294967291u},
        {"-0", 0},
        {"0x10", 0},
        {"4294967295", 4294967295u},
        {"4294967296", 0},
        {"99999999999", 0},
        // 37 zeros, then 12: the digits past the 29th byte are never read.
        {"000000000000000000000000000000000000012", 0},
    };
    for (const auto& c : measured) EXPECT_EQ(field_number(c.text), c.value) << '"' << c.text << '"';
}
