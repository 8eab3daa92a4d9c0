#include "base/toml_file.h"

#include <fstream>

namespace qz {

std::optional<toml::table> ReadTomlFile(const std::string& path, const std::string& what,
                                        std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = what + " cannot be read";
    return std::nullopt;
  }
  try {
    return toml::parse(file, path);
  } catch (const toml::parse_error& e) {
    *error = what + " is not valid TOML (line " + std::to_string(e.source().begin.line) + "): " +
             std::string(e.description());
    return std::nullopt;
  }
}

}  // namespace qz
