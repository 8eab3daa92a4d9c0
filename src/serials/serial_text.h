#pragma once

#include <string>
#include <string_view>

namespace qz::serials {

// Why `text` cannot be a unit's serial-number override, or "" when it can: 1 to 32 UTF-16 units
// of valid UTF-8 without control characters (the string descriptor the chip shows).
[[nodiscard]] std::string SerialTextProblem(std::string_view text);

}  // namespace qz::serials
