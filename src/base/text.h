#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qz {

// Cuts a UTF-8 text to at most `max_units` UTF-16 code units, never inside a character.
// This is how an edit's text is read through a fixed buffer of `max_units` + 1 characters.
[[nodiscard]] std::string TruncateUtf16Units(std::string_view utf8, std::size_t max_units);

// The whole content of the file at `path`; false when it cannot be opened or read, with the
// reason in *why when given ("No such file or directory", "is a directory, not a file"...).
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string* content,
                                 std::string* why = nullptr);

}  // namespace qz
