#include "serials/serial_text.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include "image/image_format.h"
#include "image/utf16.h"

namespace qz::serials {

std::string SerialTextProblem(std::string_view text) {
  if (text.empty()) return "it is empty";
  const std::optional<std::size_t> units = Utf16Length(text);
  if (!units) return "it is not UTF-8 text";
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    return "it holds a control character";
  }
  if (*units > kMaxStringUnits) {
    return "it is " + std::to_string(*units) + " characters long; a serial number takes 1 to " +
           std::to_string(kMaxStringUnits);
  }
  return {};
}

std::vector<std::pair<int, std::string>> ContentLines(const std::string& text) {
  std::vector<std::pair<int, std::string>> lines;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) lines.emplace_back(number, line);
  }
  return lines;
}

}  // namespace qz::serials
