#include "image/image_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "base/hex_text.h"

#include "image/utf16.h"

namespace qz {

namespace {

constexpr std::uint16_t kCrcPolynomial = 0x1021;

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned index = 0; index < 256; ++index) {
    unsigned crc = index << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ kCrcPolynomial : crc << 1;
    }
    table[index] = static_cast<std::uint16_t>(crc & 0xFFFFu);
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1021);

constexpr std::uint8_t kHeaderMagic0 = 'W';
constexpr std::uint8_t kHeaderMagic1 = 'T';
constexpr std::uint8_t kHeaderMagic2 = 'C';
constexpr std::uint8_t kHeaderMagic4 = 'O';

// "0x" and `digits` hexadecimal digits. (Built by appending: mingw's GCC 12 warns about a
// literal put before a temporary string.)
std::string Hex(std::uint32_t value, int digits) {
  std::string text("0x");
  text.append(FormatHex(value, digits));
  return text;
}

bool TagAt(const std::uint8_t* bytes, std::string_view tag) {
  return std::memcmp(bytes, tag.data(), tag.size()) == 0;
}

HResult PatchDeviceDescriptor(ImageBuffer* image, std::string_view tag, bool use_evb,
                              std::uint16_t evb_product_id, bool vendor_flag,
                              std::uint16_t vendor_id, bool product_flag,
                              std::uint16_t product_id, bool release_flag,
                              std::uint16_t release) {
  std::uint32_t block = 0;
  if (FindImageBlock(image, tag, kDeviceDescriptorPatchSpan, &block) != S_OK) return E_FAIL;
  std::uint8_t* descriptor = image->data() + block;
  if (use_evb) {
    WriteLe16(descriptor + kIdVendorOffset, kEvbVendorId);
    WriteLe16(descriptor + kIdProductOffset, evb_product_id);
    return S_OK;
  }
  if (vendor_flag) WriteLe16(descriptor + kIdVendorOffset, vendor_id);
  if (product_flag) WriteLe16(descriptor + kIdProductOffset, product_id);
  if (release_flag) WriteLe16(descriptor + kBcdDeviceOffset, release);
  return S_OK;
}

}  // namespace

std::uint16_t Crc16Update(std::uint16_t start, const std::uint8_t* bytes, std::size_t count) {
  unsigned crc = start;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned index = ((crc >> 8) ^ bytes[i]) & 0xFFu;
    crc = ((crc << 8) & 0xFFFFu) ^ kCrcTable[index];
  }
  return static_cast<std::uint16_t>(crc);
}

std::uint32_t ByteSum(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}

void WriteImageTrailer(ImageBuffer& image) {
  WriteLe32(image.data() + kSumOffset, ByteSum(image.data(), kCheckedLength));
  WriteLe16(image.data() + kCrcOffset, Crc16Update(0, image.data(), kCheckedLength));
}

namespace {

// "WHAT of bytes 0..32777 is COMPUTED, the image stores STORED" (built by appending: mingw's
// GCC 12 warns about a literal before a temporary string)
std::string ChecksumMismatch(const char* what, std::uint32_t computed, std::uint32_t stored,
                             int digits) {
  std::string text(what);
  text += " of bytes 0..";
  text += std::to_string(kCheckedLength - 1);
  text += " is " + Hex(computed, digits);
  text += ", the image stores " + Hex(stored, digits);
  return text;
}

}  // namespace

bool ImageSumMatches(const ImageBuffer& image, std::string* why) {
  const std::uint32_t computed = ByteSum(image.data(), kCheckedLength);
  const std::uint32_t stored = ReadLe32(image.data() + kSumOffset);
  if (computed == stored) return true;
  if (why != nullptr) *why = ChecksumMismatch("byte sum", computed, stored, 8);
  return false;
}

bool ImageCrcMatches(const ImageBuffer& image, std::string* why) {
  const std::uint16_t computed = Crc16Update(0, image.data(), kCheckedLength);
  const std::uint16_t stored = ReadLe16(image.data() + kCrcOffset);
  if (computed == stored) return true;
  if (why != nullptr) *why = ChecksumMismatch("CRC-16", computed, stored, 4);
  return false;
}

HResult CheckImageHeader(const ImageBuffer* image, std::uint8_t variant, FirmwareInfo& fw,
                         CIdState& cid, std::string* why) {
  fw.found = 0;
  cid.found = 0;
  const auto fail = [why](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return E_FAIL;
  };
  if (image == nullptr) return fail("no image");
  const std::uint8_t* bytes = image->data();
  const std::array<std::uint8_t, 5> expected = {kHeaderMagic0, kHeaderMagic1, kHeaderMagic2,
                                                variant, kHeaderMagic4};
  if (!std::equal(expected.begin(), expected.end(), bytes)) {
    std::string text("header bytes 0..4 are");
    for (std::size_t i = 0; i < expected.size(); ++i) {
      text.append(" ").append(FormatHex(bytes[i], 2));
    }
    text.append(", expected");
    for (const std::uint8_t byte : expected) text.append(" ").append(FormatHex(byte, 2));
    return fail(std::move(text));
  }

  // Every start position inside the image; the firmware block of a tag near the end reaches
  // at most 29 bytes on, which the 32 spare bytes of the buffer cover.
  static_assert(kTagLength + kFwInfoBlockSize - 1 <= kImageSpareBytes);
  for (std::size_t k = 0; k < kImageSize; ++k) {
    if (fw.found == 0 && TagAt(bytes + k, kFwLTag)) {
      fw.found = 1;
      const std::uint8_t* block = bytes + k + kTagLength;
      for (std::size_t i = 0; i < kFwInfoByteCount; ++i) fw.info_bytes[i] = block[i];
      for (std::size_t i = 0; i < kFwInfoWordCount; ++i) {
        fw.info_words[i] = ReadLe16(block + kFwInfoByteCount + 2 * i);
      }
    }
    if (cid.found == 0 && TagAt(bytes + k, kCIdTag)) {
      cid.found = 1;
      cid.cid = bytes[k + kTagLength];
    }
  }

  if (cid.found == 0) {
    std::string text("tag ");
    text.append(kCIdTag).append(" not found in bytes 0..").append(std::to_string(kImageSize - 1));
    return fail(std::move(text));
  }
  // The sum in full int width: a variant above 216 can never match an 8-bit CId byte.
  const int wanted_cid = int{variant} + kCIdOffsetFromVariant;
  if (int{cid.cid} == wanted_cid) return S_OK;
  std::string text("chip ID byte after ");
  text.append(kCIdTag).append(" is ").append(Hex(cid.cid, 2));
  text.append(", expected ").append(Hex(static_cast<std::uint32_t>(wanted_cid), 2));
  text.append(" (header variant ").append(Hex(variant, 2)).append(" + ");
  text.append(std::to_string(kCIdOffsetFromVariant)).append(")");
  return fail(std::move(text));
}

HResult FindImageTag(const ImageBuffer* image, const char* tag, std::size_t tag_length,
                     std::uint32_t* position) {
  if (image == nullptr || tag == nullptr || position == nullptr) return E_FAIL;
  if (tag_length > kImageSize) return E_FAIL;
  const std::uint8_t* bytes = image->data();
  for (std::size_t p = 0; p + tag_length <= kImageSize; ++p) {
    if (std::memcmp(bytes + p, tag, tag_length) == 0) {
      *position = static_cast<std::uint32_t>(p);
      return S_OK;
    }
  }
  return E_FAIL;
}

HResult FindImageBlock(const ImageBuffer* image, std::string_view tag, std::size_t block_size,
                       std::uint32_t* block_offset) {
  std::uint32_t position = 0;
  if (FindImageTag(image, tag.data(), tag.size(), &position) != S_OK) return E_FAIL;
  const std::size_t block = std::size_t{position} + tag.size();
  if (block + block_size > kImageSize) return E_FAIL;
  *block_offset = static_cast<std::uint32_t>(block);
  return S_OK;
}

HResult PatchHsDeviceDescriptor(ImageBuffer* image, bool use_evb, bool vendor_flag,
                                std::uint16_t vendor_id, bool product_flag,
                                std::uint16_t product_id, bool release_flag,
                                std::uint16_t release) {
  return PatchDeviceDescriptor(image, kHsDTag, use_evb, kEvbHsProductId, vendor_flag, vendor_id,
                               product_flag, product_id, release_flag, release);
}

HResult PatchFsDeviceDescriptor(ImageBuffer* image, bool use_evb, bool vendor_flag,
                                std::uint16_t vendor_id, bool product_flag,
                                std::uint16_t product_id, bool release_flag,
                                std::uint16_t release) {
  return PatchDeviceDescriptor(image, kFsDTag, use_evb, kEvbFsProductId, vendor_flag, vendor_id,
                               product_flag, product_id, release_flag, release);
}

HResult PatchStringDescriptors(ImageBuffer* image, bool manufacturer_flag,
                               const char* manufacturer, bool product_flag, const char* product,
                               bool hs_audio_flag, const char* hs_audio, bool fs_audio_flag,
                               const char* fs_audio, bool serial_flag, const char* serial) {
  struct SlotText {
    std::size_t slot;
    bool flag;
    const char* text;
  };
  const std::array<SlotText, 5> slots = {{{1, manufacturer_flag, manufacturer},
                                          {2, product_flag, product},
                                          {3, hs_audio_flag, hs_audio},
                                          {5, fs_audio_flag, fs_audio},
                                          {6, serial_flag, serial}}};

  // every text is checked before anything is written
  for (const SlotText& entry : slots) {
    if (!entry.flag) continue;
    if (entry.text == nullptr) return E_FAIL;
    const std::optional<std::size_t> units = Utf16Length(entry.text);
    if (!units || *units == 0 || *units > kMaxStringUnits) return E_FAIL;
  }
  std::uint32_t area_offset = 0;
  if (FindImageBlock(image, kStrTag, kStringAreaSize, &area_offset) != S_OK) return E_FAIL;
  std::uint8_t* area = image->data() + area_offset;

  std::memcpy(area, kLanguageDescriptor, kLanguageDescriptorSize);
  for (const SlotText& entry : slots) {
    if (!entry.flag) continue;
    std::uint8_t* slot = area + StringSlotOffset(entry.slot);
    std::memset(slot, 0, kStringSlotSize);
    const std::size_t units = *EncodeUtf16Le(entry.text, slot + 2, kMaxStringUnits);
    // The length covers one zero code unit after the text.
    slot[0] = static_cast<std::uint8_t>((2 * units + 4) & 0xFFu);
    slot[1] = kStringDescriptorType;
  }
  return S_OK;
}

HResult MarkImageUpdated(ImageBuffer* image) {
  std::uint32_t block = 0;
  if (FindImageBlock(image, kFwLTag, kUpdatedMarkSpan, &block) != S_OK) return E_FAIL;
  image->data()[block + kUpdatedMarkByte] |= kUpdatedMarkBit;
  return S_OK;
}

std::string DecodeStringSlot(const std::uint8_t* area, std::size_t slot) {
  const std::uint8_t* descriptor = area + StringSlotOffset(slot);
  const std::size_t length = descriptor[0] < kStringSlotSize ? descriptor[0] : kStringSlotSize;
  std::size_t units = 0;
  while (2 + 2 * (units + 1) <= length) {
    const std::uint8_t* unit = descriptor + 2 + 2 * units;
    if (unit[0] == 0 && unit[1] == 0) break;
    ++units;
  }
  return DecodeUtf16Le(descriptor + 2, units);
}

}  // namespace qz
