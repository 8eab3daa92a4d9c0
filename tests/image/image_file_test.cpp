#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <vector>

#include "image/image_file.h"
#include "support/sample_images.h"

namespace qz {
namespace {

TEST(ReadImageBytes, ReadsInPiecesOfAtMost256UntilEndErrorOrAFullBuffer) {
  static ImageBuffer image;
  struct Case {
    const char* name;
    std::vector<std::ptrdiff_t> replies;  // what each read returns; then whole pieces
    std::size_t count;
  };
  const Case cases[] = {
      {"short reads add up", {100, 256, 7, 0}, 363},
      {"an error ends reading", {256, 256, -1, 256}, 512},
      {"empty input", {0}, 0},
      {"endless input stops at the buffer end", {}, kImageBufferSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    image.Clear();
    std::vector<std::size_t> asked;
    const std::size_t count = ReadImageBytes(
        [&](std::uint8_t* buffer, std::size_t size) -> std::ptrdiff_t {
          std::fill_n(buffer, size, 0x5A);  // a piece asked beyond the buffer shows under ASan
          const std::size_t call = asked.size();
          asked.push_back(size);
          const auto whole = static_cast<std::ptrdiff_t>(size);
          return call < c.replies.size() ? std::min(c.replies[call], whole) : whole;
        },
        image);
    EXPECT_EQ(count, c.count);
    for (std::size_t size : asked) EXPECT_LE(size, kFilePieceSize);
  }
}

TEST(ReadImageFile, OpensOnlyRegularFiles) {
  test::ScratchDir dir;
  static ImageBuffer image;
  EXPECT_FALSE(ReadImageFile(nullptr, image).has_value());
  EXPECT_FALSE(ReadImageFile("", image).has_value());
  EXPECT_FALSE(ReadImageFile(dir.File("missing.bin").c_str(), image).has_value());
  EXPECT_FALSE(ReadImageFile(dir.path().c_str(), image).has_value());
#ifndef _WIN32
  // a FIFO without a writer: refused at once, not waited on
  const std::string fifo = dir.File("fifo.bin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReadImageFile(fifo.c_str(), image).has_value());
#endif
  const std::string path = dir.File("long.bin");
  test::WriteBytes(path, std::vector<std::uint8_t>(100000, 1));
  EXPECT_EQ(ReadImageFile(path.c_str(), image), kImageBufferSize);  // never read to its end
}

class AtomicFileWriterTest : public testing::Test {
 protected:
  // Writes `count` bytes of 0x77 to `path` in pieces of 256.
  static bool WriteFile(AtomicFileWriter& writer, std::size_t count) {
    const std::vector<std::uint8_t> bytes(count, 0x77);
    for (std::size_t offset = 0; offset < count; offset += kFilePieceSize) {
      if (!writer.Write(bytes.data() + offset, std::min(kFilePieceSize, count - offset))) {
        return false;
      }
    }
    return true;
  }

  test::ScratchDir dir_;
};

TEST_F(AtomicFileWriterTest, TheTargetAppearsOnlyAtCommit) {
  const std::string path = dir_.File("update.bin");
  test::WriteBytes(path, {1, 2, 3});
  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(path.c_str()));
  ASSERT_TRUE(WriteFile(writer, kImageSize));
  EXPECT_EQ(test::ReadBytes(path), (std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(test::ReadBytes(path), std::vector<std::uint8_t>(kImageSize, 0x77));
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"update.bin"});
}

TEST_F(AtomicFileWriterTest, ANameOfMaximumLengthCanBeWritten) {
  // 255 bytes is the longest file name; the temporary file's name must not grow past it
  const std::string path = dir_.File(std::string(255, 'n'));
  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(path.c_str()));
  ASSERT_TRUE(WriteFile(writer, 16));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(test::ReadBytes(path), std::vector<std::uint8_t>(16, 0x77));
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{std::string(255, 'n')});
}

TEST_F(AtomicFileWriterTest, RefusesTargetsThatCannotBeCreatedWithoutMakingFiles) {
  std::filesystem::create_directory(dir_.File("sub"));
  const std::string cases[] = {
      "",                               // no name
      dir_.File("missing/update.bin"),  // the directory does not exist
      dir_.File("sub"),                 // a directory
      dir_.File("sub/"),                // a directory by its trailing slash
      dir_.File("new/"),                // a directory that does not exist
#ifndef _WIN32
      "/dev/null",                      // not a regular file
#endif
  };
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    AtomicFileWriter writer;
    EXPECT_FALSE(writer.Open(path.c_str()));
  }
  AtomicFileWriter writer;
  EXPECT_FALSE(writer.Open(nullptr));
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"sub"});
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("sub")));
}

TEST_F(AtomicFileWriterTest, AnAbandonedWriterRemovesItsTemporaryFile) {
  const std::string path = dir_.File("update.bin");
  {
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(path.c_str()));
    ASSERT_TRUE(WriteFile(writer, 300));
    EXPECT_TRUE(test::FileExists(writer.TemporaryPath()));
  }
  EXPECT_TRUE(dir_.Entries().empty());
}

TEST_F(AtomicFileWriterTest, KeepsPermissionsAndReplacesTheFileALinkNames) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX permissions and links";
#else
  const std::string real = dir_.File("real.bin");
  const std::string link = dir_.File("link.bin");
  test::WriteBytes(real, {9});
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("real.bin", link);

  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(link.c_str()));
  ASSERT_TRUE(WriteFile(writer, 16));
  ASSERT_TRUE(writer.Commit());

  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(test::ReadBytes(real), std::vector<std::uint8_t>(16, 0x77));
  struct stat status {};
  ASSERT_EQ(stat(real.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
#endif
}

}  // namespace
}  // namespace qz
