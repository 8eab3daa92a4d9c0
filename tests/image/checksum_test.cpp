#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "image/image_format.h"
#include "support/sample_images.h"

namespace qz {
namespace {

const std::uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Bit by bit, straight from the polynomial: the reference the table must agree with.
std::uint16_t BitwiseCrc(std::uint16_t start, const std::uint8_t* bytes, std::size_t count) {
  unsigned crc = start;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= unsigned{bytes[i]} << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = ((crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1) & 0xFFFFu;
    }
  }
  return static_cast<std::uint16_t>(crc);
}

TEST(Crc16Update, KnownAnswers) {
  struct Case {
    std::string_view input;
    std::uint16_t start;
    std::uint16_t crc;
  };
  const Case cases[] = {
      {"123456789", 0x0000, 0x31C3},  // the XMODEM check value
      {"A", 0x0000, 0x58E5},
      {"\x01", 0x0000, 0x1021},  // table entry 1
      {"", 0x0000, 0x0000},
      {"", 0xBEEF, 0xBEEF},  // no bytes: the start value
      {"123456789", 0xFFFF, 0x29B1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "input \"" << c.input << "\" start " << c.start);
    EXPECT_EQ(Crc16Update(c.start, Bytes(c.input), c.input.size()), c.crc);
  }
  // a partial result continues
  EXPECT_EQ(Crc16Update(Crc16Update(0, Bytes("1234"), 4), Bytes("56789"), 5), 0x31C3);
}

TEST(Crc16Update, AgreesWithTheBitwiseFormOverAWholeImage) {
  const std::vector<std::uint8_t> image = test::SampleBytes();
  EXPECT_EQ(Crc16Update(0, image.data(), kCheckedLength),
            BitwiseCrc(0, image.data(), kCheckedLength));
  // every byte value through every table entry
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(255 - i);
  EXPECT_EQ(Crc16Update(0x1D0F, all.data(), all.size()), BitwiseCrc(0x1D0F, all.data(), all.size()));
}

}  // namespace
}  // namespace qz
