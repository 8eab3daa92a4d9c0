#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz::prodlog {

// A serial-number pattern such as "L7-######": fixed text around exactly one run of '#', the
// run being the decimal counter, zero-padded to its width. Immutable once parsed.
class SerialFormat {
 public:
  // Parses `text`. Returns nullopt and sets *error (when given) to an operator message for a
  // text with no '#' or with more than one run of '#'.
  [[nodiscard]] static std::optional<SerialFormat> Parse(std::string_view text,
                                                         std::string* error);

  // The pattern as given, e.g. "L7-######"; the key under which its numbers are counted.
  [[nodiscard]] const std::string& Text() const { return text_; }
  // Width of the '#' run.
  [[nodiscard]] int Digits() const { return digits_; }
  // The largest number the run can show (10^Digits - 1, or the largest uint64_t for 20 and more).
  [[nodiscard]] std::uint64_t MaxNumber() const;
  [[nodiscard]] bool Fits(std::uint64_t number) const { return number <= MaxNumber(); }
  // The serial text for `number`, zero-padded to the run's width; nullopt when the number would
  // outgrow the run (the caller must stop before any unit gets a cut or widened number).
  [[nodiscard]] std::optional<std::string> Format(std::uint64_t number) const;
  // The operator message for a number that no longer fits.
  [[nodiscard]] std::string OverflowMessage(std::uint64_t number) const;

 private:
  SerialFormat() = default;

  std::string text_;
  std::string prefix_;
  std::string suffix_;
  int digits_ = 0;
};

// Parses a --serial-start value: decimal digits only, no sign. nullopt and *error otherwise.
[[nodiscard]] std::optional<std::uint64_t> ParseSerialStart(std::string_view text,
                                                            std::string* error);

}  // namespace qz::prodlog
