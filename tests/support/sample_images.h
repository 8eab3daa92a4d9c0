#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_buffer.h"
#include "image/sample_image.h"

namespace qz::test {

// A fresh, empty directory under the test temporary directory, removed with everything in it
// when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  // `name` inside the directory.
  [[nodiscard]] std::string File(std::string_view name) const;
  // Names of the entries in the directory, sorted.
  [[nodiscard]] std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

// The 32784 image bytes of a generated image.
[[nodiscard]] std::vector<std::uint8_t> SampleBytes(const SampleImageOptions& options = {});
[[nodiscard]] std::vector<std::uint8_t> SampleBytes(SampleVariant variant);

// Whole-file helpers; they fail the current test on an I/O error.
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
[[nodiscard]] std::vector<std::uint8_t> ReadBytes(const std::string& path);
[[nodiscard]] bool FileExists(const std::string& path);

// Recomputes the byte sum and CRC of 32784 image bytes after a test changed them.
void FixTrailer(std::vector<std::uint8_t>& bytes);

// Image bytes as an ImageBuffer (spare bytes zero).
void ToBuffer(const std::vector<std::uint8_t>& bytes, ImageBuffer& image);

}  // namespace qz::test
