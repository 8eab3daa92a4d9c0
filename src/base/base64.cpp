#include "base/base64.h"

namespace qz {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t word = (std::uint32_t{bytes[i]} << 16) |
                               (std::uint32_t{bytes[i + 1]} << 8) | std::uint32_t{bytes[i + 2]};
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kAlphabet[(word >> shift) & 63]);
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    const std::uint32_t word =
        (std::uint32_t{bytes[i]} << 16) | (left == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0U);
    text.push_back(kAlphabet[(word >> 18) & 63]);
    text.push_back(kAlphabet[(word >> 12) & 63]);
    text.push_back(left == 2 ? kAlphabet[(word >> 6) & 63] : '=');
    text.push_back('=');
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t word = 0;
  int bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = ValueOf(text[i]);
    if (value < 0) return std::nullopt;
    word = (word << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(word >> bits));
      word &= (1U << bits) - 1;
    }
  }
  // the bits left over must be zero
  if (word != 0) return std::nullopt;
  return bytes;
}

}  // namespace qz
