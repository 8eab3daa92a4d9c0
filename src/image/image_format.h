#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "image/image_buffer.h"

namespace qz {

// --- tagged blocks ---------------------------------------------------------------------
// A tag is eight ASCII characters without terminator; its block is the bytes right after it.
inline constexpr std::size_t kTagLength = 8;
inline constexpr std::string_view kFwLTag = "QZFwLTag";  // firmware information
inline constexpr std::string_view kCIdTag = "QZCIdTag";  // chip identity byte
inline constexpr std::string_view kHsDTag = "QZHsDTag";  // high-speed device descriptor
inline constexpr std::string_view kFsDTag = "QZFsDTag";  // full-speed device descriptor
inline constexpr std::string_view kStrTag = "QZStrTag";  // string-descriptor area

// Firmware information block: 6 info bytes, then eight 16-bit words; word 7 is the firmware ID.
inline constexpr std::size_t kFwInfoByteCount = 6;
inline constexpr std::size_t kFwInfoWordCount = 8;
inline constexpr std::size_t kFwInfoBlockSize = kFwInfoByteCount + 2 * kFwInfoWordCount;  // 22
inline constexpr std::size_t kFirmwareIdWord = 7;
// The updated mark: bit 7 of info byte 4. Patching it needs 5 block bytes inside the image.
inline constexpr std::size_t kUpdatedMarkByte = 4;
inline constexpr std::uint8_t kUpdatedMarkBit = 0x80;
inline constexpr std::size_t kUpdatedMarkSpan = kUpdatedMarkByte + 1;

// The CId byte must equal the header variant plus this.
inline constexpr int kCIdOffsetFromVariant = 39;

// Device descriptor block (standard USB layout). Patching needs 14 block bytes in the image.
inline constexpr std::size_t kDeviceDescriptorSize = 18;
inline constexpr std::size_t kIdVendorOffset = 8;
inline constexpr std::size_t kIdProductOffset = 10;
inline constexpr std::size_t kBcdDeviceOffset = 12;
inline constexpr std::size_t kDeviceDescriptorPatchSpan = 14;

// String-descriptor area: a 4-byte language-ID descriptor and six slots of 78 bytes.
inline constexpr std::size_t kLanguageDescriptorSize = 4;
inline constexpr std::size_t kStringSlotCount = 6;
inline constexpr std::size_t kStringSlotSize = 78;
inline constexpr std::size_t kStringAreaSize =
    kLanguageDescriptorSize + kStringSlotCount * kStringSlotSize;  // 472
inline constexpr std::uint8_t kLanguageDescriptor[kLanguageDescriptorSize] = {0x04, 0x03, 0x09,
                                                                              0x04};
// A string override holds 1 to 32 UTF-16 code units.
inline constexpr std::size_t kMaxStringUnits = 32;
inline constexpr std::uint8_t kStringDescriptorType = 3;

// Offset of slot `slot` (1..6) from the start of the string area.
[[nodiscard]] constexpr std::size_t StringSlotOffset(std::size_t slot) {
  return kLanguageDescriptorSize + (slot - 1) * kStringSlotSize;
}

// Evaluation-board identities.
inline constexpr std::uint16_t kEvbVendorId = 0x1D6C;
inline constexpr std::uint16_t kEvbHsProductId = 0x0001;
inline constexpr std::uint16_t kEvbFsProductId = 0x0002;

// --- little-endian fields ----------------------------------------------------------------
[[nodiscard]] constexpr std::uint16_t ReadLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
constexpr void WriteLe16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value & 0xFFu);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}
[[nodiscard]] constexpr std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}
constexpr void WriteLe32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
}

// --- checksums ---------------------------------------------------------------------------
// CRC-16/XMODEM (polynomial 0x1021, MSB first, no reflection, no final XOR) of `count` bytes,
// continuing from `start`. A count of 0 returns `start`. Images use the start value 0.
[[nodiscard]] std::uint16_t Crc16Update(std::uint16_t start, const std::uint8_t* bytes,
                                        std::size_t count);
// Unsigned 32-bit sum of `count` bytes, each taken as 0..255.
[[nodiscard]] std::uint32_t ByteSum(const std::uint8_t* bytes, std::size_t count);
// Stores the byte sum and the CRC of bytes 0..32777 in the trailer (bytes 32778..32783).
void WriteImageTrailer(ImageBuffer& image);
// The two trailer checks of a load, in their order. On a mismatch `why` (may be null) gets the
// value stored and the value computed.
[[nodiscard]] bool ImageSumMatches(const ImageBuffer& image, std::string* why = nullptr);
[[nodiscard]] bool ImageCrcMatches(const ImageBuffer& image, std::string* why = nullptr);

// --- header and tags ---------------------------------------------------------------------
// Checks the header ("W", "T", "C", `variant`, "O") and scans every start position 0..32783
// for QZFwLTag and QZCIdTag (first occurrence of each), filling `fw` and `cid`; a block near
// the end reads the zero spare bytes of the buffer. Both found flags are cleared first.
// Returns S_OK when the header is right and the CId byte equals variant + 39; E_FAIL otherwise
// (also for a null image). Shows nothing. On E_FAIL `why` (may be null) says which part failed
// and with what values: the header bytes, the missing tag, or the CId byte found.
[[nodiscard]] HResult CheckImageHeader(const ImageBuffer* image, std::uint8_t variant,
                                       FirmwareInfo& fw, CIdState& cid,
                                       std::string* why = nullptr);

// Position of the first occurrence of `tag` (`tag_length` bytes, wholly inside the 32784 image
// bytes) in `image`. S_OK with *position set; E_FAIL for a null image, tag or position, a tag
// longer than the image, or no match. A tag length of 0 gives position 0.
[[nodiscard]] HResult FindImageTag(const ImageBuffer* image, const char* tag,
                                   std::size_t tag_length, std::uint32_t* position);

// Offset of the block after the first `tag` when the tag is found and `block_size` bytes
// after it lie inside the image; E_FAIL otherwise (a block that would run past the image end
// counts as missing, so nothing is ever written outside the image).
[[nodiscard]] HResult FindImageBlock(const ImageBuffer* image, std::string_view tag,
                                     std::size_t block_size, std::uint32_t* block_offset);

// --- patching ----------------------------------------------------------------------------
// Patches the block after QZHsDTag. With `use_evb` it writes vendor 0x1D6C and product 0x0001
// and ignores the flags; otherwise it writes each field whose flag is set. bcdDevice changes
// only through its flag. E_FAIL (nothing written) for a null image or a missing block.
[[nodiscard]] HResult PatchHsDeviceDescriptor(ImageBuffer* image, bool use_evb, bool vendor_flag,
                                              std::uint16_t vendor_id, bool product_flag,
                                              std::uint16_t product_id, bool release_flag,
                                              std::uint16_t release);
// The same for QZFsDTag, with product 0x0002 for the evaluation board.
[[nodiscard]] HResult PatchFsDeviceDescriptor(ImageBuffer* image, bool use_evb, bool vendor_flag,
                                              std::uint16_t vendor_id, bool product_flag,
                                              std::uint16_t product_id, bool release_flag,
                                              std::uint16_t release);

// Rewrites the string area after QZStrTag: the language-ID descriptor always, then each slot
// whose flag is set (manufacturer 1, product 2, high-speed audio 3, full-speed audio 5,
// serial 6; slot 4 never). Texts are UTF-8 and become UTF-16LE code units, bLength = 2n + 4.
// E_FAIL without writing anything when a set flag has a null text, a text that is not 1..32
// UTF-16 units of valid UTF-8, the image is null or the area is missing.
[[nodiscard]] HResult PatchStringDescriptors(ImageBuffer* image, bool manufacturer_flag,
                                             const char* manufacturer, bool product_flag,
                                             const char* product, bool hs_audio_flag,
                                             const char* hs_audio, bool fs_audio_flag,
                                             const char* fs_audio, bool serial_flag,
                                             const char* serial);

// Sets the updated mark (bit 7 of the fifth byte after QZFwLTag). E_FAIL for a null image or
// a missing tag.
[[nodiscard]] HResult MarkImageUpdated(ImageBuffer* image);

// Text of string slot `slot` (1..6) of the area at `area`, as UTF-8: the code units after the
// 2-byte header up to bLength or the first zero unit. Empty for an unwritten slot.
[[nodiscard]] std::string DecodeStringSlot(const std::uint8_t* area, std::size_t slot);

}  // namespace qz
