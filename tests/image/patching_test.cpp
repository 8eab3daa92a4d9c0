#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/image_format.h"
#include "image/sample_image.h"
#include "support/sample_images.h"

namespace qz {
namespace {

namespace layout = sample_layout;

constexpr std::size_t kHsBlock = layout::kHsDTagAt + kTagLength;
constexpr std::size_t kFsBlock = layout::kFsDTagAt + kTagLength;
constexpr std::size_t kStrArea = layout::kStrTagAt + kTagLength;

class PatchTest : public testing::Test {
 protected:
  void SetUp() override {
    test::ToBuffer(test::SampleBytes(), image_);
    before_ = image_;
  }
  std::uint16_t Field(std::size_t block, std::size_t offset) const {
    return ReadLe16(image_.data() + block + offset);
  }
  // Image bytes that differ from before the patch.
  std::vector<std::size_t> Changed() const {
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < kImageBufferSize; ++i) {
      if (image_[i] != before_[i]) changed.push_back(i);
    }
    return changed;
  }
  const std::uint8_t* Slot(std::size_t slot) const {
    return image_.data() + kStrArea + StringSlotOffset(slot);
  }

  static ImageBuffer image_;
  static ImageBuffer before_;
};
ImageBuffer PatchTest::image_;
ImageBuffer PatchTest::before_;

TEST_F(PatchTest, DeviceDescriptorWritesOnlyTheFlaggedFields) {
  ASSERT_EQ(PatchHsDeviceDescriptor(&image_, false, false, 0x1111, true, 0x2222, false, 0x3333),
            S_OK);
  EXPECT_EQ(Field(kHsBlock, kIdVendorOffset), 0x1D6C);
  EXPECT_EQ(Field(kHsBlock, kIdProductOffset), 0x2222);
  EXPECT_EQ(Field(kHsBlock, kBcdDeviceOffset), 0x0100);
  ASSERT_EQ(PatchFsDeviceDescriptor(&image_, false, true, 0xABCD, false, 0, true, 0x0203), S_OK);
  EXPECT_EQ(Field(kFsBlock, kIdVendorOffset), 0xABCD);
  EXPECT_EQ(Field(kFsBlock, kIdProductOffset), 0x6841);
  EXPECT_EQ(Field(kFsBlock, kBcdDeviceOffset), 0x0203);
  // low byte first
  EXPECT_EQ(image_[kFsBlock + kBcdDeviceOffset], 0x03);
  EXPECT_EQ(Changed().size(), 2u + 2u + 2u);
}

TEST_F(PatchTest, EvaluationBoardIdsOverrideTheFlagsAndKeepBcdDevice) {
  ASSERT_EQ(PatchHsDeviceDescriptor(&image_, true, true, 0x1111, true, 0x2222, true, 0x3333),
            S_OK);
  ASSERT_EQ(PatchFsDeviceDescriptor(&image_, true, true, 0x1111, true, 0x2222, true, 0x3333),
            S_OK);
  EXPECT_EQ(Field(kHsBlock, kIdVendorOffset), 0x1D6C);
  EXPECT_EQ(Field(kHsBlock, kIdProductOffset), 0x0001);
  EXPECT_EQ(Field(kHsBlock, kBcdDeviceOffset), 0x0100);
  EXPECT_EQ(Field(kFsBlock, kIdVendorOffset), 0x1D6C);
  EXPECT_EQ(Field(kFsBlock, kIdProductOffset), 0x0002);
  EXPECT_EQ(Field(kFsBlock, kBcdDeviceOffset), 0x0100);
}

TEST_F(PatchTest, MissingOrTruncatedBlocksAreNeverWritten) {
  EXPECT_EQ(PatchHsDeviceDescriptor(nullptr, true, false, 0, false, 0, false, 0), E_FAIL);
  EXPECT_EQ(MarkImageUpdated(nullptr), E_FAIL);
  EXPECT_EQ(PatchStringDescriptors(nullptr, false, nullptr, false, nullptr, false, nullptr, false,
                                   nullptr, false, nullptr),
            E_FAIL);

  // move the first QZHsDTag so that only 13 of the 14 bytes it patches lie in the image
  std::memset(image_.data() + layout::kHsDTagAt, 0, kTagLength);
  const std::size_t late = kImageSize - kTagLength - kDeviceDescriptorPatchSpan + 1;
  std::memcpy(image_.data() + late, kHsDTag.data(), kTagLength);
  before_ = image_;
  EXPECT_EQ(PatchHsDeviceDescriptor(&image_, true, true, 1, true, 2, true, 3), E_FAIL);
  // one byte earlier it fits exactly
  std::memset(image_.data() + late, 0, kTagLength);
  std::memcpy(image_.data() + late - 1, kHsDTag.data(), kTagLength);
  before_ = image_;
  EXPECT_EQ(PatchHsDeviceDescriptor(&image_, false, false, 0, false, 0, true, 0xBEEF), S_OK);
  EXPECT_EQ(Changed(), (std::vector<std::size_t>{kImageSize - 2, kImageSize - 1}));
}

TEST_F(PatchTest, StringAreaRunningPastTheEndCountsAsMissing) {
  test::ToBuffer(test::SampleBytes(SampleVariant::kStrAtEnd), image_);
  before_ = image_;
  EXPECT_EQ(PatchStringDescriptors(&image_, true, "X", false, nullptr, false, nullptr, false,
                                   nullptr, false, nullptr),
            E_FAIL);
  EXPECT_TRUE(Changed().empty());
  test::ToBuffer(test::SampleBytes(SampleVariant::kNoStr), image_);
  EXPECT_EQ(PatchStringDescriptors(&image_, false, nullptr, false, nullptr, false, nullptr, false,
                                   nullptr, false, nullptr),
            E_FAIL);
}

TEST_F(PatchTest, LanguageDescriptorIsWrittenEvenWithNoStringFlag) {
  SampleImageOptions options;
  options.language_id = 0x0407;
  test::ToBuffer(test::SampleBytes(options), image_);
  before_ = image_;
  ASSERT_EQ(PatchStringDescriptors(&image_, false, nullptr, false, nullptr, false, nullptr, false,
                                   nullptr, false, nullptr),
            S_OK);
  EXPECT_EQ(image_[kStrArea + 2], 0x09);
  EXPECT_EQ(image_[kStrArea + 3], 0x04);
  EXPECT_EQ(Changed(), (std::vector<std::size_t>{kStrArea + 2}));  // 0x07 -> 0x09; all slots kept
}

TEST_F(PatchTest, StringSlotsHoldByteExactDescriptors) {
  const std::string max(32, 'M');
  ASSERT_EQ(PatchStringDescriptors(&image_, true, max.c_str(), true, "AB", true, "\xC3\xA9",
                                   false, nullptr, true, "\xF0\x9F\x8E\xB5"),
            S_OK);
  // slot 1: 32 characters, bLength 68
  EXPECT_EQ(Slot(1)[0], 68);
  EXPECT_EQ(Slot(1)[1], 3);
  for (std::size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(Slot(1)[2 + 2 * i], 'M');
    EXPECT_EQ(Slot(1)[3 + 2 * i], 0);
  }
  // slot 2: "AB" -> 08 03 41 00 42 00 and 72 zero bytes
  std::vector<std::uint8_t> expected(kStringSlotSize, 0);
  const std::uint8_t ab[] = {0x08, 0x03, 0x41, 0x00, 0x42, 0x00};
  std::memcpy(expected.data(), ab, sizeof ab);
  EXPECT_EQ(std::vector<std::uint8_t>(Slot(2), Slot(2) + kStringSlotSize), expected);
  // slot 3: é is the one code unit 0x00E9
  const std::uint8_t e_acute[] = {0x06, 0x03, 0xE9, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(Slot(3), e_acute, sizeof e_acute), 0);
  // slot 6: a character beyond U+FFFF is a surrogate pair
  const std::uint8_t pair[] = {0x08, 0x03, 0x3C, 0xD8, 0xB5, 0xDF, 0x00};
  EXPECT_EQ(std::memcmp(Slot(6), pair, sizeof pair), 0);
  // slots 4 and 5 keep their bytes
  for (std::size_t slot : {4u, 5u}) {
    const std::size_t offset = kStrArea + StringSlotOffset(slot);
    EXPECT_EQ(std::memcmp(image_.data() + offset, before_.data() + offset, kStringSlotSize), 0)
        << "slot " << slot;
  }
  EXPECT_EQ(DecodeStringSlot(image_.data() + kStrArea, 3), "\xC3\xA9");
  EXPECT_EQ(DecodeStringSlot(image_.data() + kStrArea, 4), "QZ670x Control");
}

TEST_F(PatchTest, ABadTextWritesNothingAtAll) {
  // set the language bytes off so that even they would show a write
  image_[kStrArea + 2] = 0x07;
  before_ = image_;
  const std::string too_long(33, 'x');
  const char* bad_texts[] = {nullptr, "", too_long.c_str(), "\xE9t\xE9"};
  for (const char* bad : bad_texts) {
    SCOPED_TRACE(bad == nullptr ? "null text" : bad);
    // a good manufacturer first: it must not be written either
    EXPECT_EQ(PatchStringDescriptors(&image_, true, "Good", false, nullptr, false, nullptr, false,
                                     nullptr, true, bad),
              E_FAIL);
    EXPECT_TRUE(Changed().empty());
  }
  // a text whose flag is clear is not looked at
  EXPECT_EQ(PatchStringDescriptors(&image_, false, nullptr, false, "\xFF", false, nullptr, false,
                                   nullptr, false, nullptr),
            S_OK);
}

TEST_F(PatchTest, UpdatedMarkSetsOnlyBitSevenAndStaysSet) {
  const std::size_t mark = layout::kFwLTagAt + kTagLength + kUpdatedMarkByte;
  const std::uint8_t original = image_[mark];
  ASSERT_EQ(original & 0x80, 0);
  ASSERT_EQ(MarkImageUpdated(&image_), S_OK);
  EXPECT_EQ(image_[mark], original | 0x80);
  EXPECT_EQ(Changed(), (std::vector<std::size_t>{mark}));
  ASSERT_EQ(MarkImageUpdated(&image_), S_OK);
  EXPECT_EQ(image_[mark], original | 0x80);

  test::ToBuffer(test::SampleBytes(SampleVariant::kNoFwL), image_);
  EXPECT_EQ(MarkImageUpdated(&image_), E_FAIL);
}

}  // namespace
}  // namespace qz
