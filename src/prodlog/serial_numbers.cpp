#include "prodlog/serial_numbers.h"

#include <charconv>
#include <limits>

namespace qz::prodlog {

std::optional<SerialFormat> SerialFormat::Parse(std::string_view text, std::string* error) {
  const auto fail = [&](std::string message) -> std::optional<SerialFormat> {
    if (error != nullptr) *error = std::move(message);
    return std::nullopt;
  };
  const std::size_t first = text.find('#');
  if (first == std::string_view::npos) {
    return fail("The serial format \"" + std::string(text) +
                "\" has no '#' run for the counter (for example L7-######).");
  }
  std::size_t end = text.find_first_not_of('#', first);
  if (end == std::string_view::npos) end = text.size();
  if (text.find('#', end) != std::string_view::npos) {
    return fail("The serial format \"" + std::string(text) +
                "\" has more than one '#' run; it must have exactly one, the counter.");
  }
  SerialFormat format;
  format.text_ = std::string(text);
  format.prefix_ = std::string(text.substr(0, first));
  format.suffix_ = std::string(text.substr(end));
  format.digits_ = static_cast<int>(end - first);
  return format;
}

std::uint64_t SerialFormat::MaxNumber() const {
  // 10^19 - 1 is the widest all-nines value below 2^64.
  if (digits_ >= 20) return std::numeric_limits<std::uint64_t>::max();
  std::uint64_t max = 1;
  for (int i = 0; i < digits_; ++i) max *= 10;
  return max - 1;
}

std::optional<std::string> SerialFormat::Format(std::uint64_t number) const {
  if (!Fits(number)) return std::nullopt;
  std::string digits = std::to_string(number);
  std::string text = prefix_;
  if (digits.size() < static_cast<std::size_t>(digits_)) {
    text.append(static_cast<std::size_t>(digits_) - digits.size(), '0');
  }
  text += digits;
  text += suffix_;
  return text;
}

std::string SerialFormat::OverflowMessage(std::uint64_t number) const {
  return "The serial number " + std::to_string(number) + " does not fit the " +
         std::to_string(digits_) + "-digit counter of \"" + text_ +
         "\" (the last is " + std::to_string(MaxNumber()) +
         "); no further unit gets a number of this format.";
}

std::optional<std::uint64_t> ParseSerialStart(std::string_view text, std::string* error) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || text.front() == '-' || text.front() == '+' || ec != std::errc() ||
      ptr != end) {
    if (error != nullptr) {
      *error = "The serial start \"" + std::string(text) +
               "\" is not a decimal number from 0 to " +
               std::to_string(std::numeric_limits<std::uint64_t>::max()) + ".";
    }
    return std::nullopt;
  }
  return value;
}

}  // namespace qz::prodlog
