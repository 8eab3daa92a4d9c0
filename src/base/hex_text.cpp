#include "base/hex_text.h"

#include <cstdio>

namespace qz {

namespace {

// White space as the "C" locale's isspace sees it.
constexpr bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Value of a hexadecimal digit, or -1.
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint32_t ParseHexText(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }

  // The prefix counts only when a digit follows; "0x" alone is the number 0 followed by 'x'.
  if (pos + 2 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
      HexDigit(text[pos + 2]) >= 0) {
    pos += 2;
  }

  std::uint64_t value = 0;
  bool any_digit = false;
  bool overflow = false;
  for (; pos < text.size(); ++pos) {
    const int digit = HexDigit(text[pos]);
    if (digit < 0) break;
    any_digit = true;
    if (!overflow) {
      value = value * 16 + static_cast<std::uint64_t>(digit);
      overflow = value > 0xFFFFFFFFu;
    }
  }
  if (!any_digit) return 0;
  if (overflow) return 0xFFFFFFFFu;
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

std::string FormatHex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

}  // namespace qz
