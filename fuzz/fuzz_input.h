#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qz::fuzz {

// Reads a fuzz input front to back; past the end every read gives zeros (or empty texts).
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  [[nodiscard]] std::uint16_t Word() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  // A text of a length given by the next byte (cut at the end of the input).
  [[nodiscard]] std::string Text() {
    const std::size_t length = Byte();
    const std::size_t count = length < Left() ? length : Left();
    std::string text(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return text;
  }
  [[nodiscard]] std::size_t Left() const { return size_ - at_; }
  [[nodiscard]] const std::uint8_t* Rest() const { return data_ + at_; }
  [[nodiscard]] bool Empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A directory for the files one fuzzing process makes: QZ_FUZZ_TMPDIR, else /dev/shm, else the
// system's temporary directory; one subdirectory per process, removed at exit.
[[nodiscard]] const std::string& ScratchDirectory();

}  // namespace qz::fuzz
