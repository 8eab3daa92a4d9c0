// What every adapter shares: hex text, file reading, the key id.
#include "base/text.h"
#include "crypto/crypto.h"

namespace qz::crypto {

namespace {

std::string ToHex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

}  // namespace

std::string Sha256Hex(std::span<const std::uint8_t> bytes) { return ToHex(Sha256(bytes)); }

std::string Sha256Hex(std::string_view bytes) {
  return Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string FileSha256Hex(const std::string& path, std::string* error) {
  std::string content;
  if (std::string why; !ReadWholeFile(path, &content, &why)) {
    if (error != nullptr) *error = "Cannot read \"" + path + "\": " + why + ".";
    return {};
  }
  return Sha256Hex(std::string_view(content));
}

std::string PublicKey::Id() const { return Sha256Hex(spki); }

}  // namespace qz::crypto
