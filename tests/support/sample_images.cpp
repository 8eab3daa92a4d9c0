#include "support/sample_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "image/image_format.h"

namespace qz::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  const char* configured = std::getenv("QZ_TEST_TMPDIR");
  fs::path base = configured != nullptr && *configured != '\0' ? fs::path(configured)
                                                              : fs::path(::testing::TempDir());
  fs::create_directories(base);
#ifdef _WIN32
  // no mkdtemp: a random name, made only if it did not exist
  std::random_device random;
  for (int attempt = 0; attempt < 64 && path_.empty(); ++attempt) {
    const fs::path candidate = base / ("qz-image-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) path_ = candidate.string();
  }
  if (path_.empty()) ADD_FAILURE() << "cannot make a directory in " << base;
#else
  std::string pattern = (base / "qz-image-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot make a directory in " << base;
  path_ = pattern;
#endif
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  fs::remove_all(path_, error);
}

std::string ScratchDir::File(std::string_view name) const {
  return (fs::path(path_) / fs::path(name)).string();
}

std::vector<std::string> ScratchDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> SampleBytes(const SampleImageOptions& options) {
  static ImageBuffer image;  // one buffer for the whole test program: 32 KiB off the stack
  BuildSampleImage(options, image);
  return {image.data(), image.data() + kImageSize};
}

std::vector<std::uint8_t> SampleBytes(SampleVariant variant) {
  SampleImageOptions options;
  options.variant = variant;
  return SampleBytes(options);
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) ADD_FAILURE() << "cannot write " << path;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

void FixTrailer(std::vector<std::uint8_t>& bytes) {
  ASSERT_EQ(bytes.size(), kImageSize);
  WriteLe32(bytes.data() + kSumOffset, ByteSum(bytes.data(), kCheckedLength));
  WriteLe16(bytes.data() + kCrcOffset, Crc16Update(0, bytes.data(), kCheckedLength));
}

void ToBuffer(const std::vector<std::uint8_t>& bytes, ImageBuffer& image) {
  image.Clear();
  std::copy_n(bytes.begin(), std::min(bytes.size(), kImageBufferSize), image.bytes.begin());
}

}  // namespace qz::test
