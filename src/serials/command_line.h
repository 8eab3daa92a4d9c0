#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::serials {

// Splits a command line into its words as a POSIX shell would, without running one: words
// are separated by spaces and tabs; '...' keeps everything inside as it stands; "..." keeps
// everything but a backslash before " \ $ or `, which stands for that character; outside
// quotes a backslash keeps the next character. No variables, globs, pipes or redirections:
// those characters are taken as they stand. nullopt and *error for an unclosed quote, a
// trailing backslash or no word at all.
[[nodiscard]] std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text,
                                                                       std::string* error);

}  // namespace qz::serials
