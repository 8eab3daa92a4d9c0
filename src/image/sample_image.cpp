#include "image/sample_image.h"

#include <cstring>

#include "image/image_format.h"

namespace qz {

namespace {

struct VariantName {
  SampleVariant variant;
  std::string_view name;
};

constexpr std::array<VariantName, 11> kVariantNames = {{
    {SampleVariant::kValid, "valid"},
    {SampleVariant::kNoFwL, "no-fwl"},
    {SampleVariant::kNoCId, "no-cid"},
    {SampleVariant::kNoHsD, "no-hsd"},
    {SampleVariant::kNoFsD, "no-fsd"},
    {SampleVariant::kNoStr, "no-str"},
    {SampleVariant::kFwLAtEnd, "fwl-at-end"},
    {SampleVariant::kStrAtEnd, "str-at-end"},
    {SampleVariant::kTwoFwL, "two-fwl"},
    {SampleVariant::kBadCId, "bad-cid"},
    {SampleVariant::kBadVariant, "bad-variant"},
}};
static_assert(kVariantNames.size() == kSampleVariants.size());

// Bytes 5..7 of the header: not examined by the loader, carried to the EEPROM as they are.
constexpr std::uint8_t kHeaderTail[3] = {0x01, 0x10, 0x40};

// Info bytes of the firmware information block (byte 4 without the updated mark).
constexpr std::uint8_t kInfoBytes[kFwInfoByteCount] = {0x01, 0x00, 0x03, 0x00, 0x02, 0x00};
constexpr std::uint8_t kSecondInfoBytes[kFwInfoByteCount] = {0x09, 0x09, 0x09, 0x09, 0x09, 0x09};
// Words 0..6: version, build and layout figures of our own, never interpreted.
constexpr std::uint16_t kInfoWords[kFwInfoWordCount - 1] = {0x0100, 0x0001, 0x2024, 0x0612,
                                                            0x0000, 0x4010, 0x0000};

constexpr std::uint8_t kValidCId = 0x27;
constexpr std::uint8_t kWrongCId = 0x28;

// xorshift32: a fixed stream of "firmware" bytes, so that a factory-mode write carries data to
// every EEPROM address.
class ByteStream {
 public:
  explicit ByteStream(std::uint32_t seed) : state_(seed == 0 ? 1 : seed) {}
  std::uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint32_t state_;
};

void PutTag(ImageBuffer& image, std::uint32_t at, std::string_view tag) {
  std::memcpy(image.data() + at, tag.data(), tag.size());
}

void PutFirmwareInfo(ImageBuffer& image, std::uint32_t at, const std::uint8_t* info_bytes,
                     std::uint16_t firmware_id) {
  PutTag(image, at, kFwLTag);
  std::uint8_t* block = image.data() + at + kTagLength;
  std::memcpy(block, info_bytes, kFwInfoByteCount);
  for (std::size_t i = 0; i + 1 < kFwInfoWordCount; ++i) {
    WriteLe16(block + kFwInfoByteCount + 2 * i, kInfoWords[i]);
  }
  WriteLe16(block + kFwInfoByteCount + 2 * kFirmwareIdWord, firmware_id);
}

// Only the bytes that lie inside the image are stored; the rest of the block falls off the end.
void PutFirmwareInfoAtEnd(ImageBuffer& image, std::uint32_t at, std::uint16_t firmware_id) {
  ImageBuffer block_image;  // scratch: build the block at the same offset, copy what fits
  PutFirmwareInfo(block_image, at, kInfoBytes, firmware_id);
  std::memcpy(image.data() + at, block_image.data() + at, kCheckedLength - at);
}

void PutDeviceDescriptor(ImageBuffer& image, std::uint32_t at, std::string_view tag,
                         const SampleImageOptions& options) {
  PutTag(image, at, tag);
  std::uint8_t* descriptor = image.data() + at + kTagLength;
  descriptor[0] = static_cast<std::uint8_t>(kDeviceDescriptorSize);  // bLength
  descriptor[1] = 0x01;                                              // DEVICE
  WriteLe16(descriptor + 2, 0x0200);                                 // bcdUSB 2.0
  descriptor[4] = 0x00;                                              // class per interface
  descriptor[5] = 0x00;
  descriptor[6] = 0x00;
  descriptor[7] = 64;  // bMaxPacketSize0
  WriteLe16(descriptor + kIdVendorOffset, options.vendor_id);
  WriteLe16(descriptor + kIdProductOffset, options.product_id);
  WriteLe16(descriptor + kBcdDeviceOffset, 0x0100);
  descriptor[14] = 1;  // iManufacturer: slot 1
  descriptor[15] = 2;  // iProduct: slot 2
  descriptor[16] = 6;  // iSerialNumber: slot 6
  descriptor[17] = 1;  // bNumConfigurations
}

// A string area of standard descriptors (bLength = 2n + 2), zero-filled slots.
void PutStringArea(ImageBuffer& image, std::uint32_t at, const SampleImageOptions& options) {
  PutTag(image, at, kStrTag);
  std::uint8_t* area = image.data() + at + kTagLength;
  std::memset(area, 0, kStringAreaSize);
  area[0] = 0x04;
  area[1] = kStringDescriptorType;
  WriteLe16(area + 2, options.language_id);
  for (std::size_t slot = 1; slot <= kStringSlotCount; ++slot) {
    std::uint8_t* descriptor = area + StringSlotOffset(slot);
    const std::string_view text = kSampleStrings[slot - 1];
    descriptor[0] = static_cast<std::uint8_t>(2 * text.size() + 2);
    descriptor[1] = kStringDescriptorType;
    for (std::size_t i = 0; i < text.size(); ++i) {
      descriptor[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    }
  }
}

// Bytes of a string area that fit before the further bytes; the rest would pass the end.
void PutStringAreaAtEnd(ImageBuffer& image, std::uint32_t at, const SampleImageOptions& options) {
  ImageBuffer scratch;
  PutStringArea(scratch, 0, options);
  std::memcpy(image.data() + at, scratch.data(), kEepromSize - at);
}

}  // namespace

std::string_view SampleVariantName(SampleVariant variant) {
  for (const VariantName& entry : kVariantNames) {
    if (entry.variant == variant) return entry.name;
  }
  return "valid";
}

std::optional<SampleVariant> ParseSampleVariant(std::string_view name) {
  for (const VariantName& entry : kVariantNames) {
    if (entry.name == name) return entry.variant;
  }
  return std::nullopt;
}

void BuildSampleImage(const SampleImageOptions& options, ImageBuffer& image) {
  namespace layout = sample_layout;
  const SampleVariant variant = options.variant;
  image.Clear();

  // header
  image[0] = 'W';
  image[1] = 'T';
  image[2] = 'C';
  image[3] = variant == SampleVariant::kBadVariant ? 0x01 : 0x00;
  image[4] = 'O';
  std::memcpy(image.data() + 5, kHeaderTail, sizeof kHeaderTail);

  // firmware bytes up to the trailer
  ByteStream stream(options.seed);
  for (std::size_t i = kImageHeaderSize; i < kCheckedLength; ++i) image[i] = stream.Next();

  // tagged blocks
  if (variant == SampleVariant::kFwLAtEnd) {
    PutFirmwareInfoAtEnd(image, layout::kFwLTagAtEnd, options.firmware_id);
  } else if (variant != SampleVariant::kNoFwL) {
    PutFirmwareInfo(image, layout::kFwLTagAt, kInfoBytes, options.firmware_id);
  }
  if (variant == SampleVariant::kTwoFwL) {
    PutFirmwareInfo(image, layout::kSecondFwLTagAt, kSecondInfoBytes,
                    layout::kSecondFirmwareId);
  }
  if (variant != SampleVariant::kNoCId) {
    PutTag(image, layout::kCIdTagAt, kCIdTag);
    image[layout::kCIdTagAt + kTagLength] =
        variant == SampleVariant::kBadCId ? kWrongCId : kValidCId;
  }
  if (variant != SampleVariant::kNoHsD) {
    PutDeviceDescriptor(image, layout::kHsDTagAt, kHsDTag, options);
  }
  if (variant != SampleVariant::kNoFsD) {
    PutDeviceDescriptor(image, layout::kFsDTagAt, kFsDTag, options);
  }
  if (variant == SampleVariant::kStrAtEnd) {
    PutStringAreaAtEnd(image, layout::kStrTagAtEnd, options);
  } else if (variant != SampleVariant::kNoStr) {
    PutStringArea(image, layout::kStrTagAt, options);
  }

  WriteImageTrailer(image);
}

}  // namespace qz
