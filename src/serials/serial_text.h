#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::serials {

// Why `text` cannot be a unit's serial-number override, or "" when it can: 1 to 32 UTF-16 units
// of valid UTF-8 without control characters (the string descriptor the chip shows).
[[nodiscard]] std::string SerialTextProblem(std::string_view text);

// The lines of `text` that hold more than spaces and tabs, each with its line number (from 1),
// a CR before its end taken off: how a list file and a program's answer are read.
[[nodiscard]] std::vector<std::pair<int, std::string>> ContentLines(const std::string& text);

}  // namespace qz::serials
