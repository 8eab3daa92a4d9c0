#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qz::serials {

// Reads a list of serial numbers given in advance, one a line, and checks it whole: a UTF-8 BOM
// at its start, a CR before each line's end and blank lines (or lines of spaces only) are
// skipped; every other line is a number taken as it stands and must be a valid serial-number
// override, and no number may come twice. nullopt and *error naming the file and the line
// otherwise, or when the file cannot be read or holds no number.
[[nodiscard]] std::optional<std::vector<std::string>> ReadSerialList(const std::string& path,
                                                                     std::string* error);

// The name a list's numbers are kept under in the log when none is given: its file name.
[[nodiscard]] std::string SerialListName(const std::string& path);

}  // namespace qz::serials
