#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qz {

// Reads a hexadecimal number the way the C library's 32-bit strtoul(text, nullptr, 16) does:
// leading white space is skipped, then an optional '+' or '-', then an optional "0x"/"0X";
// digits are taken up to the first character that is not a hexadecimal digit. A text without
// digits gives 0; a value beyond 32 bits gives 0xFFFFFFFF whatever the sign; a leading '-'
// negates the value modulo 2^32 (so "-1" gives 0xFFFFFFFF). Never fails.
[[nodiscard]] std::uint32_t ParseHexText(std::string_view text);

// `value` as upper-case hexadecimal with at least `digits` digits (leading zeros), no prefix.
[[nodiscard]] std::string FormatHex(std::uint32_t value, int digits);

}  // namespace qz
