#include "base/text.h"

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include <cstdint>

#include "base/file_path.h"

namespace qz {

std::string TruncateUtf16Units(std::string_view utf8, std::size_t max_units) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const auto lead = static_cast<std::uint8_t>(utf8[pos]);
    std::size_t length = 1;
    std::size_t char_units = 1;
    if (lead >= 0xF0) {
      length = 4;
      char_units = 2;  // a surrogate pair
    } else if (lead >= 0xE0) {
      length = 3;
    } else if (lead >= 0xC0) {
      length = 2;
    }
    if (pos + length > utf8.size()) length = utf8.size() - pos;  // broken tail: one unit per byte
    if (units + char_units > max_units) break;
    units += char_units;
    pos += length;
  }
  return std::string(utf8.substr(0, pos));
}

bool ReadWholeFile(const std::string& path, std::string* content, std::string* why) {
  const auto fail = [why](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  if (path.empty()) return fail("no file name given");
  std::error_code ignored;
  if (std::filesystem::is_directory(PathFromUtf8(path), ignored)) {
    return fail("is a directory, not a file");
  }
  errno = 0;
  std::ifstream file(PathFromUtf8(path), std::ios::binary);
  if (!file) {
    return fail(errno != 0 ? std::generic_category().message(errno) : "cannot be opened");
  }
  content->clear();
  std::array<char, 16384> buffer{};
  while (file) {
    file.read(buffer.data(), buffer.size());
    content->append(buffer.data(), static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) return fail("could not be read to its end");
  return true;
}

}  // namespace qz
