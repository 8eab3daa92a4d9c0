#include "serials/serial_text.h"

#include <algorithm>
#include <optional>

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

}  // namespace qz::serials
