// The dialog's field read as a number, the way the Windows dialog reads it with GetDlgItemInt
// (unsigned), so that a value typed on a terminal stores what it would store on Windows.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

// As measured on Wine's GetDlgItemInt: only the first 29 bytes count; leading white space and
// one sign are skipped; the digits up to the first other character are the value; a minus sign
// wraps it modulo 2^32. No digit, or a value past 4294967295, reads as 0.
uint32_t field_number(const std::string& text);

}  // namespace vek
