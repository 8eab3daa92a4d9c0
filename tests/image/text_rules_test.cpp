// The two text rules of the descriptor edits: hexadecimal numbers and UTF-8 strings.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string_view>

#include "base/hex_text.h"
#include "image/utf16.h"

namespace qz {
namespace {

TEST(ParseHexText, ReadsLikeThe32BitCLibrary) {
  struct Case {
    std::string_view text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"", 0},
      {"FFFF", 0xFFFF},
      {"ffff", 0xFFFF},
      {"10000", 0x10000},
      {"0x12ab", 0x12AB},
      {"0X12AB", 0x12AB},
      {"12zz", 0x12},          // stops at the first non-digit
      {"zz", 0},               // no digits
      {"ghij", 0},
      {"0x", 0},               // the 0 is a digit, the x ends the number
      {"0xg", 0},
      {"x12", 0},
      {"   1D6C", 0x1D6C},     // leading white space
      {"\t\n\v\f\r 7", 7},
      {"+42", 0x42},
      {"-1", 0xFFFFFFFF},      // negated modulo 2^32
      {"-0x10", 0xFFFFFFF0},
      {"- 1", 0},              // no blank after the sign
      {"+-1", 0},
      {"1 2", 1},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"100000000", 0xFFFFFFFF},   // beyond 32 bits: the largest value
      {"-100000000", 0xFFFFFFFF},  // whatever the sign
      {"123456789ABCDEF0123", 0xFFFFFFFF},
      {"000000000000001234", 0x1234},  // leading zeros are no overflow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
    EXPECT_EQ(ParseHexText(c.text), c.value);
  }
}

TEST(Utf16Length, CountsCodeUnitsAndRejectsBrokenText) {
  struct Case {
    std::string_view utf8;
    std::optional<std::size_t> units;
  };
  const Case cases[] = {
      {"", 0},
      {"AB", 2},
      {"\xC3\xA9", 1},              // é
      {"\xE2\x82\xAC", 1},          // €
      {"\xF0\x9F\x8E\xB5", 2},      // a surrogate pair
      {"\xC3", std::nullopt},       // cut short
      {"\xA9", std::nullopt},       // stray continuation byte
      {"\xC0\xAF", std::nullopt},   // overlong
      {"\xE0\x80\xAF", std::nullopt},
      {"\xED\xA0\x80", std::nullopt},  // a surrogate code point
      {"\xF4\x90\x80\x80", std::nullopt},  // beyond U+10FFFF
      {"\xE9t\xE9", std::nullopt},  // Latin-1 bytes are not UTF-8
      {std::string_view("a\0b", 3), std::nullopt},  // NUL would end the string on the device
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "text of " << c.utf8.size() << " bytes: " << c.utf8);
    EXPECT_EQ(Utf16Length(c.utf8), c.units);
  }
}

}  // namespace
}  // namespace qz
