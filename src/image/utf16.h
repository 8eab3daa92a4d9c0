#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz {

// UTF-16 code units of a UTF-8 text (a character beyond U+FFFF counts 2), or nullopt when the
// text is not valid UTF-8 or holds a NUL: overlong forms, surrogate code points, values beyond
// U+10FFFF, stray or missing continuation bytes are all rejected.
[[nodiscard]] std::optional<std::size_t> Utf16Length(std::string_view utf8);

// Writes the UTF-16LE code units of `utf8` to `out` (2 bytes per unit) and returns the unit
// count; nothing is written and nullopt is returned when the text is invalid (as for
// Utf16Length) or needs more than `max_units` units.
std::optional<std::size_t> EncodeUtf16Le(std::string_view utf8, std::uint8_t* out,
                                         std::size_t max_units);

// UTF-8 text of `unit_count` UTF-16LE code units at `bytes`; an unpaired surrogate becomes
// U+FFFD.
[[nodiscard]] std::string DecodeUtf16Le(const std::uint8_t* bytes, std::size_t unit_count);

// Conversions for platform text interfaces (wide-character window texts, file names): an
// invalid UTF-8 sequence or a NUL becomes U+FFFD on the way in, an unpaired surrogate on the
// way out.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view utf8);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace qz
