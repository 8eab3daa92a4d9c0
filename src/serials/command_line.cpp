#include "serials/command_line.h"

namespace qz::serials {

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text,
                                                         std::string* error) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) return *error = "a ' is not closed", std::nullopt;
      word.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= text.size()) return *error = "a \" is not closed", std::nullopt;
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos) {
          ++i;
        }
        word += text[i];
      }
    } else if (c == '\\') {
      if (++i >= text.size()) return *error = "it ends in a backslash", std::nullopt;
      word += text[i];
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  if (words.empty()) return *error = "it names no program", std::nullopt;
  return words;
}

}  // namespace qz::serials
