#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qz {

// Every path the program handles is UTF-8 text. These are the only ways between that text and
// the file system's own names: on Windows a std::filesystem::path holds UTF-16 and the wide file
// functions take it whole, where the narrow ones would go through the ANSI code page and lose
// every character outside it.
[[nodiscard]] std::filesystem::path PathFromUtf8(std::string_view utf8);
[[nodiscard]] std::string PathToUtf8(const std::filesystem::path& path);

// ": " and the system's reason for the last failed file call (errno), or "" when it left none;
// set errno to 0 before the call.
[[nodiscard]] std::string SystemReasonSuffix();

}  // namespace qz
