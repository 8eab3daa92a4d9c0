#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// Base64 (RFC 4648, the standard alphabet, with padding).
[[nodiscard]] std::string Base64Encode(std::span<const std::uint8_t> bytes);
// Strict: only the alphabet, padding only at the end, a length of whole quads, and no bits set
// beyond the last byte, so that every byte string has exactly one text. nullopt otherwise.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);

}  // namespace qz
