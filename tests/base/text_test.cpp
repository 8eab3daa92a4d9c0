#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

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

// A file that cannot be read says why, in the system's words where it has them.
TEST(ReadWholeFile, SaysWhyAFileCannotBeRead) {
  std::string content;
  std::string why;
  const std::string folder = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(ReadWholeFile(folder + "/qz-no-such-file.bin", &content, &why));
  EXPECT_EQ(why, std::generic_category().message(ENOENT));
  EXPECT_FALSE(ReadWholeFile(folder, &content, &why));
  EXPECT_EQ(why, "is a directory, not a file");
  EXPECT_FALSE(ReadWholeFile("", &content, &why));
  EXPECT_EQ(why, "no file name given");
}

}  // namespace
}  // namespace qz
