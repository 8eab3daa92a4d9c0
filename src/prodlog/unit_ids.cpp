// The ids a station gives its units.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "prodlog/store_internal.h"

namespace qz::prodlog {

std::string NewUnitUid() {
  std::random_device device;
  const auto draw = [&device] {
    return (static_cast<std::uint64_t>(device()) << 32) | static_cast<std::uint64_t>(device());
  };
  std::uint64_t high = draw();
  std::uint64_t low = draw();
  high = (high & ~0xF000ULL) | 0x4000ULL;                  // version 4
  low = (low & ~(0xC0ULL << 56)) | (0x80ULL << 56);        // RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(high >> 32),
                static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFFF),
                static_cast<unsigned long long>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

}  // namespace qz::prodlog
