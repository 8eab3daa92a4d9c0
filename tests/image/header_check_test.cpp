#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/image_format.h"
#include "image/sample_image.h"
#include "support/sample_images.h"

namespace qz {
namespace {

namespace layout = sample_layout;

struct HeaderCase {
  const char* name;
  SampleVariant variant;
  HResult result;
  std::uint32_t fw_found;
  std::uint16_t firmware_id;
  std::uint32_t cid_found;
  std::uint8_t cid;
};

class CheckImageHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(CheckImageHeaderTest, FindsTheFirstBlocksAndChecksTheCId) {
  const HeaderCase& c = GetParam();
  static ImageBuffer image;
  test::ToBuffer(test::SampleBytes(c.variant), image);
  FirmwareInfo fw;
  CIdState cid;
  EXPECT_EQ(CheckImageHeader(&image, 0, fw, cid), c.result);
  EXPECT_EQ(fw.found, c.fw_found);
  if (c.fw_found != 0) {
    EXPECT_EQ(fw.info_words[kFirmwareIdWord], c.firmware_id);
  }
  EXPECT_EQ(cid.found, c.cid_found);
  if (c.cid_found != 0) {
    EXPECT_EQ(cid.cid, c.cid);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CheckImageHeaderTest,
    testing::Values(
        HeaderCase{"Valid", SampleVariant::kValid, S_OK, 1, 0x5067, 1, 0x27},
        // the firmware block is optional
        HeaderCase{"NoFwL", SampleVariant::kNoFwL, S_OK, 0, 0, 1, 0x27},
        HeaderCase{"NoCId", SampleVariant::kNoCId, E_FAIL, 1, 0x5067, 0, 0},
        HeaderCase{"BadCId", SampleVariant::kBadCId, E_FAIL, 1, 0x5067, 1, 0x28},
        // a wrong header stops before the scan: both flags stay clear
        HeaderCase{"BadVariant", SampleVariant::kBadVariant, E_FAIL, 0, 0, 0, 0},
        // the lower of two blocks counts
        HeaderCase{"TwoFwL", SampleVariant::kTwoFwL, S_OK, 1, 0x5067, 1, 0x27},
        // word 7 of a block past the end comes from the zero spare bytes
        HeaderCase{"FwLAtEnd", SampleVariant::kFwLAtEnd, S_OK, 1, 0x0000, 1, 0x27}),
    [](const testing::TestParamInfo<HeaderCase>& param) { return param.param.name; });

TEST(CheckImageHeader, ComparesTheCIdWithTheVariantInFullWidth) {
  static ImageBuffer image;
  test::ToBuffer(test::SampleBytes(), image);
  FirmwareInfo fw;
  CIdState cid;
  // variant 1 with CId 0x28 passes; variant 217 would need CId 256, which no byte holds
  image[3] = 1;
  image[layout::kCIdTagAt + kTagLength] = 0x28;
  EXPECT_EQ(CheckImageHeader(&image, 1, fw, cid), S_OK);
  image[3] = 217;
  image[layout::kCIdTagAt + kTagLength] = 0x00;  // (217 + 39) mod 256
  EXPECT_EQ(CheckImageHeader(&image, 217, fw, cid), E_FAIL);
}

TEST(CheckImageHeader, FailsForNoImageAndForEachWrongHeaderByte) {
  FirmwareInfo fw;
  CIdState cid;
  fw.found = 1;
  cid.found = 1;
  EXPECT_EQ(CheckImageHeader(nullptr, 0, fw, cid), E_FAIL);
  EXPECT_EQ(fw.found, 0u);
  EXPECT_EQ(cid.found, 0u);

  static ImageBuffer image;
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(testing::Message() << "header byte " << i);
    test::ToBuffer(test::SampleBytes(), image);
    image[i] ^= 0x20;
    EXPECT_EQ(CheckImageHeader(&image, 0, fw, cid), E_FAIL);
  }
}

TEST(FindImageTag, FindsTheFirstWholeOccurrenceInsideTheImage) {
  static ImageBuffer image;
  image.Clear();
  std::uint32_t position = 99;
  // nothing to find, bad arguments
  EXPECT_EQ(FindImageTag(&image, "QZStrTag", 8, &position), E_FAIL);
  EXPECT_EQ(FindImageTag(nullptr, "QZStrTag", 8, &position), E_FAIL);
  EXPECT_EQ(FindImageTag(&image, nullptr, 8, &position), E_FAIL);
  EXPECT_EQ(FindImageTag(&image, "x", kImageSize + 1, &position), E_FAIL);
  // an empty tag is at 0
  EXPECT_EQ(FindImageTag(&image, "QZStrTag", 0, &position), S_OK);
  EXPECT_EQ(position, 0u);

  // the last place a tag fits, and a tag cut off by the end of the image
  std::memcpy(image.data() + kImageSize - 8, "QZStrTag", 8);
  std::memcpy(image.data() + kImageSize - 4, "QZSt", 4);
  std::memcpy(image.data() + kImageSize, "rTag", 4);  // in the spare bytes: never matches
  EXPECT_EQ(FindImageTag(&image, "QZStrTag", 8, &position), E_FAIL);
  std::memcpy(image.data() + kImageSize - 8, "QZStrTag", 8);
  ASSERT_EQ(FindImageTag(&image, "QZStrTag", 8, &position), S_OK);
  EXPECT_EQ(position, kImageSize - 8);
  std::memcpy(image.data() + 5, "QZStrTag", 8);
  ASSERT_EQ(FindImageTag(&image, "QZStrTag", 8, &position), S_OK);
  EXPECT_EQ(position, 5u);
}

}  // namespace
}  // namespace qz
