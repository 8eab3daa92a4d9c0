#include <gtest/gtest.h>

#include "base/text.h"

namespace qz {
namespace {

TEST(TruncateUtf16Units, KeepsWholeCharacters) {
  EXPECT_EQ(TruncateUtf16Units("abcdef", 3), "abc");
  EXPECT_EQ(TruncateUtf16Units("ab", 31), "ab");
  // é is one UTF-16 unit (two UTF-8 bytes); an emoji is two units and is never split.
  EXPECT_EQ(TruncateUtf16Units("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
  EXPECT_EQ(TruncateUtf16Units("a\xF0\x9F\x98\x80", 2), "a");
  EXPECT_EQ(TruncateUtf16Units("a\xF0\x9F\x98\x80", 3), "a\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace qz
