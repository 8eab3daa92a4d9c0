#include "base/toml_file.h"

#include <string_view>

#include "base/text.h"

namespace qz {

std::optional<toml::table> ReadTomlFile(const std::string& path, const std::string& what,
                                        std::string* error) {
  std::string text;
  if (std::string why; !ReadWholeFile(path, &text, &why)) {
    *error = what + " cannot be read: " + why;
    return std::nullopt;
  }
  try {
    return toml::parse(std::string_view(text), path);
  } catch (const toml::parse_error& e) {
    *error = what + " is not valid TOML (line " + std::to_string(e.source().begin.line) + "): " +
             std::string(e.description());
    return std::nullopt;
  }
}

}  // namespace qz
