#include "image/utf16.h"

namespace qz {

namespace {

// Decodes the character at `pos`; returns its code point and advances `pos`, or returns
// nullopt for an invalid sequence.
std::optional<char32_t> NextCodePoint(std::string_view utf8, std::size_t& pos) {
  const auto lead = static_cast<std::uint8_t>(utf8[pos]);
  std::size_t length = 0;
  char32_t code_point = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return char32_t{lead};
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return std::nullopt;  // continuation byte, overlong 2-byte lead or beyond U+10FFFF
  }
  if (utf8.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<std::uint8_t>(utf8[pos + i]);
    if ((next & 0xC0u) != 0x80u) return std::nullopt;
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF) return std::nullopt;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return std::nullopt;
  pos += length;
  return code_point;
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Hands the UTF-16 code units of `code_point` to `put`: one, or a surrogate pair.
template <typename Put>
void PutUtf16(char32_t code_point, Put put) {
  if (code_point >= 0x10000) {
    const char32_t offset = code_point - 0x10000;
    put(0xD800 + (offset >> 10));
    put(0xDC00 + (offset & 0x3FF));
  } else {
    put(code_point);
  }
}

// UTF-8 text of `count` UTF-16 code units, the i-th given by `unit_at(i)`; an unpaired surrogate
// becomes U+FFFD.
template <typename UnitAt>
std::string DecodeUnits(std::size_t count, UnitAt unit_at) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
      const char32_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? char32_t{0xFFFD} : unit);
  }
  return out;
}

}  // namespace

std::optional<std::size_t> Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::optional<char32_t> code_point = NextCodePoint(utf8, pos);
    if (!code_point || *code_point == 0) return std::nullopt;
    units += *code_point >= 0x10000 ? 2u : 1u;
  }
  return units;
}

std::optional<std::size_t> EncodeUtf16Le(std::string_view utf8, std::uint8_t* out,
                                         std::size_t max_units) {
  const std::optional<std::size_t> length = Utf16Length(utf8);
  if (!length || *length > max_units) return std::nullopt;
  std::size_t pos = 0;
  std::uint8_t* unit = out;
  const auto put = [&unit](char32_t value) {
    unit[0] = static_cast<std::uint8_t>(value & 0xFFu);
    unit[1] = static_cast<std::uint8_t>((value >> 8) & 0xFFu);
    unit += 2;
  };
  while (pos < utf8.size()) PutUtf16(*NextCodePoint(utf8, pos), put);
  return *length;
}

std::string DecodeUtf16Le(const std::uint8_t* bytes, std::size_t unit_count) {
  return DecodeUnits(unit_count, [bytes](std::size_t i) {
    return static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  });
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    std::optional<char32_t> code_point = NextCodePoint(utf8, pos);
    if (!code_point || *code_point == 0) {
      if (!code_point) ++pos;  // skip the byte that does not start a character
      code_point = 0xFFFD;
    }
    PutUtf16(*code_point, [&out](char32_t unit) { out.push_back(static_cast<char16_t>(unit)); });
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  return DecodeUnits(utf16.size(), [utf16](std::size_t i) { return char32_t{utf16[i]}; });
}

}  // namespace qz
