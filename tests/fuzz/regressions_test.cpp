// The inputs the fuzzers once failed on (fuzz/regressions/<target>/) and their seed corpora
// (fuzz/corpus/<target>/), each run through its target: a broken property aborts the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_entries.h"

namespace qz::fuzz {
namespace {

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

int Replay(const Target& target, const char* folder) {
  int replayed = 0;
  for (const std::filesystem::path& file :
       FilesIn(std::filesystem::path(QZ_FUZZ_DIR) / folder / target.name)) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(target.entry(bytes.data(), bytes.size()), 0);
    ++replayed;
  }
  return replayed;
}

TEST(FuzzRegressions, EveryTargetPassesItsPastCrashesAndItsSeeds) {
  for (const Target& target : kTargets) {
    SCOPED_TRACE(std::string(target.name));
    (void)Replay(target, "regressions");
    EXPECT_GT(Replay(target, "corpus"), 0) << "every target has a seed corpus";
  }
}

}  // namespace
}  // namespace qz::fuzz
