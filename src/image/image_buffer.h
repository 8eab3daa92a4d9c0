#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qz {

// Layout of a .bin image file. All multi-byte values are little-endian.
inline constexpr std::size_t kImageSize = 32784;        // bytes in an image file
inline constexpr std::size_t kImageSpareBytes = 32;     // zero bytes after the image in memory
inline constexpr std::size_t kImageBufferSize = kImageSize + kImageSpareBytes;
inline constexpr std::size_t kEepromSize = 32768;       // bytes of EEPROM content at the start
inline constexpr std::size_t kCheckedLength = 32778;    // bytes covered by the sum and the CRC
inline constexpr std::size_t kSumOffset = 32778;        // 4-byte byte sum
inline constexpr std::size_t kCrcOffset = 32782;        // 2-byte CRC-16/XMODEM
inline constexpr std::size_t kImageHeaderSize = 8;      // EEPROM bytes 0..7

// One image of kImageSize bytes followed by kImageSpareBytes spare bytes, so that a tag scan
// may read past a candidate position near the end without leaving the buffer.
struct ImageBuffer {
  std::array<std::uint8_t, kImageBufferSize> bytes{};

  // Sets all kImageBufferSize bytes to zero.
  void Clear() { bytes.fill(0); }
  [[nodiscard]] std::uint8_t* data() { return bytes.data(); }
  [[nodiscard]] const std::uint8_t* data() const { return bytes.data(); }
  [[nodiscard]] std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
  [[nodiscard]] std::uint8_t operator[](std::size_t i) const { return bytes[i]; }
};

// Results of the last header and tag check.
struct FirmwareInfo {
  std::uint32_t found = 0;                  // 1 when QZFwLTag was found
  std::array<std::uint8_t, 6> info_bytes{};  // the 6 info bytes after the tag
  std::array<std::uint16_t, 8> info_words{}; // word 7 is the firmware ID
};

struct CIdState {
  std::uint32_t found = 0;  // 1 when QZCIdTag was found
  std::uint8_t cid = 0;     // the byte after QZCIdTag
};

}  // namespace qz
