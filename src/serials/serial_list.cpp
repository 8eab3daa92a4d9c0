#include "serials/serial_list.h"

#include <unordered_map>

#include "base/file_path.h"
#include "base/text.h"
#include "serials/serial_text.h"

namespace qz::serials {

std::optional<std::vector<std::string>> ReadSerialList(const std::string& path,
                                                        std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<std::vector<std::string>> {
    *error = "the serial list " + path + ": " + why;
    return std::nullopt;
  };
  std::string text;
  if (std::string why; !ReadWholeFile(path, &text, &why)) return fail("cannot be read: " + why);
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);

  std::vector<std::string> numbers;
  std::unordered_map<std::string, int> first_line;
  for (const auto& [number, line] : ContentLines(text)) {
    const std::string where = "line " + std::to_string(number) + ": \"" + line + "\" ";
    if (const std::string why = SerialTextProblem(line); !why.empty()) {
      return fail(where + "is no serial number: " + why);
    }
    const auto [found, fresh] = first_line.emplace(line, number);
    if (!fresh) {
      return fail(where + "is on line " + std::to_string(found->second) +
                  " already; each number may come once");
    }
    numbers.push_back(line);
  }
  if (numbers.empty()) return fail("holds no serial number");
  return numbers;
}

std::string SerialListName(const std::string& path) {
  return PathToUtf8(PathFromUtf8(path).filename());
}

}  // namespace qz::serials
