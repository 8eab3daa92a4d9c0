#pragma once

#include <cstdint>

namespace qz {

// 32-bit result code of the system's own operations: S_OK on success, E_FAIL on failure.
using HResult = std::uint32_t;

inline constexpr HResult S_OK = 0;
inline constexpr HResult E_FAIL = 0x80004005u;

[[nodiscard]] constexpr bool Succeeded(HResult result) { return result == S_OK; }

}  // namespace qz
