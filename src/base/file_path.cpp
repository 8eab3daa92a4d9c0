#include "base/file_path.h"

#include <cerrno>
#include <system_error>

namespace qz {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

std::string SystemReasonSuffix() {
  const int code = errno;
  return code == 0 ? std::string() : ": " + std::generic_category().message(code);
}

}  // namespace qz
