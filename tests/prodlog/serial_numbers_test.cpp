// Serial formats and the SHA-256 of image files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prodlog/serial_numbers.h"

namespace qz::prodlog {
namespace {

TEST(SerialFormat, PadsTheCounterToItsRun) {
  std::string error;
  const auto format = SerialFormat::Parse("L7-######-B", &error);
  ASSERT_TRUE(format) << error;
  EXPECT_EQ(format->Digits(), 6);
  EXPECT_EQ(format->Format(0), "L7-000000-B");
  EXPECT_EQ(format->Format(42), "L7-000042-B");
  EXPECT_EQ(format->Format(999999), "L7-999999-B");
  EXPECT_EQ(format->Format(1000000), std::nullopt);  // never widened
  EXPECT_NE(format->OverflowMessage(1000000).find("L7-######-B"), std::string::npos);

  const auto wide = SerialFormat::Parse(std::string(22, '#'), &error);
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->Format(18446744073709551615u), "00" "18446744073709551615");
}

TEST(SerialFormat, RefusesFormatsWithoutOneCounterRun) {
  for (const char* text : {"", "L7-", "L#-##", "#A#"}) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(SerialFormat::Parse(text, &error));
    EXPECT_NE(error.find(text), std::string::npos) << error;
  }
  std::string error;
  (void)SerialFormat::Parse("L7-", &error);
  EXPECT_NE(error.find("no '#'"), std::string::npos) << error;
  (void)SerialFormat::Parse("L#-##", &error);
  EXPECT_NE(error.find("more than one"), std::string::npos) << error;
}

TEST(SerialFormat, StartIsAPlainDecimal) {
  std::string error;
  EXPECT_EQ(ParseSerialStart("0", &error), 0u);
  EXPECT_EQ(ParseSerialStart("18446744073709551615", &error), 18446744073709551615u);
  for (const char* text : {"", "-1", "+1", "1e3", "0x10", "18446744073709551616", "12 "}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseSerialStart(text, &error));
  }
}

}  // namespace
}  // namespace qz::prodlog
