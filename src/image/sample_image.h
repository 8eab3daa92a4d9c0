#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "image/image_buffer.h"

namespace qz {

// Kinds of generated image: a valid one, and ones that each break one rule of the format.
enum class SampleVariant {
  kValid,
  kNoFwL,       // no QZFwLTag (still loads: that tag is optional)
  kNoCId,       // no QZCIdTag
  kNoHsD,       // no QZHsDTag
  kNoFsD,       // no QZFsDTag
  kNoStr,       // no QZStrTag
  kFwLAtEnd,    // the only QZFwLTag sits so late that its block runs past byte 32783
  kStrAtEnd,    // the only QZStrTag sits so late that its 472-byte area would pass the end
  kTwoFwL,      // two QZFwLTag blocks with different values; the lower one counts
  kBadCId,      // CId byte 0x28 instead of 0x27
  kBadVariant,  // header byte 3 is 0x01
};

inline constexpr std::array kSampleVariants = {
    SampleVariant::kValid,  SampleVariant::kNoFwL,    SampleVariant::kNoCId,
    SampleVariant::kNoHsD,  SampleVariant::kNoFsD,    SampleVariant::kNoStr,
    SampleVariant::kFwLAtEnd, SampleVariant::kStrAtEnd, SampleVariant::kTwoFwL,
    SampleVariant::kBadCId, SampleVariant::kBadVariant};

// Command-line name of a variant ("valid", "no-fwl", ..., "bad-variant").
[[nodiscard]] std::string_view SampleVariantName(SampleVariant variant);
[[nodiscard]] std::optional<SampleVariant> ParseSampleVariant(std::string_view name);

struct SampleImageOptions {
  SampleVariant variant = SampleVariant::kValid;
  std::uint16_t vendor_id = 0x1D6C;    // both device descriptors
  std::uint16_t product_id = 0x6841;   // both device descriptors
  std::uint16_t firmware_id = 0x5067;  // word 7 of the firmware information
  std::uint16_t language_id = 0x0409;  // of the language-ID descriptor in the string area
  std::uint32_t seed = 0x51A7E5EDu;    // of the pseudo-random firmware bytes
};

// Where the blocks of a generated image sit: offsets of the tags.
namespace sample_layout {
inline constexpr std::uint32_t kFwLTagAt = 0x0020;
inline constexpr std::uint32_t kSecondFwLTagAt = 0x0060;  // kTwoFwL only
inline constexpr std::uint32_t kCIdTagAt = 0x0040;
inline constexpr std::uint32_t kHsDTagAt = 0x3C00;
inline constexpr std::uint32_t kFsDTagAt = 0x3C20;
inline constexpr std::uint32_t kStrTagAt = 0x3C40;
// kFwLAtEnd: the tag ends 10 bytes before the end of the image, so its block reads the last
// four further bytes, the trailer and the spare bytes.
inline constexpr std::uint32_t kFwLTagAtEnd = 32766;
// kStrAtEnd: the area would need 472 bytes but only 100 are left before byte 32768.
inline constexpr std::uint32_t kStrTagAtEnd = 32768 - 8 - 100;
// The second firmware block of kTwoFwL carries this firmware ID.
inline constexpr std::uint16_t kSecondFirmwareId = 0x1234;
}  // namespace sample_layout

// Texts of the string slots 1..6 of a generated image.
inline constexpr std::array<std::string_view, 6> kSampleStrings = {
    "QZ Audio", "QZ670x USB Audio", "QZ670x HS Audio", "QZ670x Control", "QZ670x FS Audio",
    "0000000001"};

// Builds a complete image of `options.variant` in `image` (cleared first): header, firmware
// bytes, tagged blocks and a correct trailer. Deterministic for given options.
void BuildSampleImage(const SampleImageOptions& options, ImageBuffer& image);

}  // namespace qz
