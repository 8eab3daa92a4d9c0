// The texts an operator or a script hands the command line: fault specifications (read back
// from their own text), hexadecimal edits (against the C library's strtoul), edit texts cut to
// a buffer and through UTF-16, and hidraw device paths (which must not lead out of sysfs).
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/hex_text.h"
#include "base/text.h"
#include "fuzz_entries.h"
#include "fuzz_input.h"
#ifndef _WIN32
#include "hid/platform/hidapi_backend.h"
#endif
#include "image/utf16.h"
#include "sim/virtual_chip.h"

namespace qz::fuzz {

namespace {

// strtoul(text, nullptr, 16) of a C library whose unsigned long has 32 bits.
std::uint32_t ReferenceHex(const std::string& text) {
  const char* at = text.c_str();
  while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
  bool negative = false;
  if (*at == '+' || *at == '-') negative = *at++ == '-';
  // what strtoull would skip again (space, a second sign) is not a number here
  if (!std::isxdigit(static_cast<unsigned char>(*at))) return 0;
  errno = 0;
  const unsigned long long value = std::strtoull(at, nullptr, 16);
  if (errno == ERANGE || value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  const auto low = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - low) : low;
}

void CheckFault(const std::string& text) {
  std::string error;
  const std::optional<sim::Fault> fault = sim::ParseFault(text, &error);
  if (!fault) {
    Require(!error.empty(), "a refused fault says why");
    return;
  }
  Require(sim::ParseFault(sim::FaultText(*fault), nullptr) == fault,
          "a fault reads back from its own text");
}

void CheckDevicePath(const std::string& text) {
#ifdef _WIN32
  (void)text;  // hidraw paths are Linux's
#else
  const std::string path = HidrawReportDescriptorPath(text);
  if (path.empty()) return;
  constexpr std::string_view kPrefix = "/sys/class/hidraw/hidraw";
  constexpr std::string_view kSuffix = "/device/report_descriptor";
  Require(path.starts_with(kPrefix) && path.ends_with(kSuffix) &&
              path.find("..") == std::string::npos &&
              path.find('\0') == std::string::npos &&
              path.size() == kPrefix.size() + (text.size() - 11) + kSuffix.size(),
          "a hidraw node maps to its own sysfs descriptor file only");
#endif
}

}  // namespace

// Input: byte 0 picks the text kind, byte 1 a length limit; the rest is the text.
int FuzzCommandLineTexts(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t kind = input.Byte();
  const std::uint8_t limit = input.Byte();
  const std::string text(reinterpret_cast<const char*>(input.Rest()), input.Left());
  switch (kind % 5) {
    case 0:
      CheckFault(text);
      break;
    case 1:
      Require(ParseHexText(text) == ReferenceHex(text), "hexadecimal text reads as strtoul does");
      break;
    case 2: {
      const std::uint32_t value = ParseHexText(text);
      Require(ParseHexText(FormatHex(value, limit % 9)) == value,
              "a formatted hexadecimal number reads back");
      break;
    }
    case 3: {
      const std::string cut = TruncateUtf16Units(text, limit);
      Require(text.starts_with(cut), "a cut text is the start of the text");
      if (const std::optional<std::size_t> units = Utf16Length(text); units && *units <= limit) {
        Require(cut == text, "a text within the limit is not cut");
      }
      if (const std::optional<std::size_t> units = Utf16Length(cut)) {
        Require(*units <= limit, "a cut text fits the limit");
      }
      // the window texts of the Windows dialog: valid text crosses unchanged, anything else
      // comes back as valid text without a NUL
      const std::u16string wide = Utf8ToUtf16(text);
      const std::string back = Utf16ToUtf8(wide);
      if (const std::optional<std::size_t> units = Utf16Length(text)) {
        Require(back == text && wide.size() == *units, "valid text crosses UTF-16 unchanged");
      }
      Require(Utf16Length(back).has_value(), "text back from UTF-16 is valid, without a NUL");
      break;
    }
    default:
      CheckDevicePath(text);
      break;
  }
  return 0;
}

}  // namespace qz::fuzz
