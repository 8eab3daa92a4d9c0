#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qz::prodlog {

// SHA-256 (FIPS 180-4), incremental.
class Sha256 {
 public:
  Sha256();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest; the object must not be updated afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> Finish();

  // One-shot digest as lower-case hex.
  [[nodiscard]] static std::string Hex(std::span<const std::uint8_t> bytes);
  [[nodiscard]] static std::string ToHex(const std::array<std::uint8_t, 32>& digest);

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes
};

}  // namespace qz::prodlog
