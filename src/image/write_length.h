#pragma once

#include <cstdint>

namespace qz {

// EEPROM bytes a job covers: the whole 32 KiB in Factory mode, otherwise 16 KiB plus the
// 16-byte block after it.
inline constexpr std::uint16_t kFactoryWriteLength = 0x8000;
inline constexpr std::uint16_t kDeveloperWriteLength = 0x4010;

}  // namespace qz
