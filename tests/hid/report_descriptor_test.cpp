#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Vendor-defined interface with 64-byte input and output reports, no report IDs: the shape of
// the chip's own command interface.
const Bytes kVendor64 = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  // Input 64x8
    0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02,  // Output 64x8
    0xC0,              // End Collection
};

// Numbered reports of different sizes: ID 1 in 8 / out 8, ID 2 in 32 / out 63, ID 3 feature 16.
const Bytes kNumbered = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02,
    0x85, 0x02, 0x95, 0x20, 0x09, 0x02, 0x81, 0x02, 0x95, 0x3F, 0x09, 0x02, 0x91, 0x02,
    0x85, 0x03, 0x95, 0x10, 0x09, 0x03, 0xB1, 0x02,
    0xC0,
};

// Boot keyboard: 8-byte input (modifiers, reserved, 6 keys), 5 LED bits + 3 padding output.
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
    0xC0,
};

// Mouse with report ID 1 inside nested collections: 3 button bits, 5 padding, X/Y/wheel bytes.
const Bytes kMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00,
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
    0x95, 0x01, 0x75, 0x05, 0x81, 0x03,
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03,
    0x81, 0x06,
    0xC0, 0xC0,
};

// Push/Pop, a long item and 4-byte item data: input of 2 + 6 bytes, output 0x21 bytes.
const Bytes kPushPopLong = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x75, 0x08, 0x95, 0x02, 0x81, 0x02,         // 2 bytes
    0xA4,                                       // Push
    0x75, 0x10, 0x95, 0x03, 0x81, 0x02,         // 3 x 16 bits
    0xB4,                                       // Pop: back to 8-bit fields, count 2
    0xFE, 0x02, 0xF0, 0x75, 0x40,               // long item whose data looks like items
    0x97, 0x21, 0x00, 0x00, 0x00,               // Report Count (4-byte data) 0x21
    0x91, 0x02,
    0xC0,
};

struct ShapeCase {
  std::string name;
  const Bytes* descriptor;
  std::uint16_t input;
  std::uint16_t output;
  std::uint16_t feature;
  bool numbered;
};

class ReportDescriptorShapes : public testing::TestWithParam<ShapeCase> {};

TEST_P(ReportDescriptorShapes, LengthsIncludeReportIdByte) {
  const ShapeCase& c = GetParam();
  const ReportDescriptorInfo info = ParseReportDescriptor(*c.descriptor);
  EXPECT_TRUE(info.well_formed);
  EXPECT_EQ(info.InputReportLength, c.input);
  EXPECT_EQ(info.OutputReportLength, c.output);
  EXPECT_EQ(info.FeatureReportLength, c.feature);
  EXPECT_EQ(info.numbered_reports, c.numbered);
}

INSTANTIATE_TEST_SUITE_P(
    RealWorld, ReportDescriptorShapes,
    testing::Values(ShapeCase{"Vendor64", &kVendor64, 65, 65, 0, false},
                    ShapeCase{"NumberedOfDifferentSizes", &kNumbered, 33, 64, 17, true},
                    ShapeCase{"BootKeyboard", &kKeyboard, 9, 2, 0, false},
                    ShapeCase{"MouseWithReportId", &kMouse, 5, 0, 0, true},
                    ShapeCase{"PushPopLongItem", &kPushPopLong, 9, 34, 0, false}),
    [](const testing::TestParamInfo<ShapeCase>& param) { return param.param.name; });

TEST(ReportDescriptorTest, EveryTruncationIsFlaggedAndStaysInBounds) {
  for (const Bytes* full : {&kVendor64, &kNumbered, &kKeyboard, &kMouse, &kPushPopLong}) {
    const ReportDescriptorInfo whole = ParseReportDescriptor(*full);
    // Past the first Collection item every cut either splits an item or leaves it open.
    const auto first_collection =
        static_cast<std::size_t>(std::find(full->begin(), full->end(), 0xA1) - full->begin());
    for (std::size_t cut = 0; cut < full->size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "descriptor of " << full->size() << " bytes cut at "
                                      << cut);
      // A copy of exactly `cut` bytes, so AddressSanitizer sees any read past the end.
      const Bytes part(full->begin(), full->begin() + static_cast<std::ptrdiff_t>(cut));
      const ReportDescriptorInfo info = ParseReportDescriptor(part);
      if (cut > first_collection) {
        EXPECT_FALSE(info.well_formed);
      }
      EXPECT_LE(info.InputReportLength, whole.InputReportLength);
      EXPECT_LE(info.OutputReportLength, whole.OutputReportLength);
    }
  }
}

TEST(ReportDescriptorTest, InconsistentDescriptorsAreFlagged) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"end collection without collection", {0xC0}},
      {"collection left open", {0xA1, 0x01}},
      {"pop without push", {0xB4}},
      {"report id 0", {0x85, 0x00}},
      {"report id above 255", {0x86, 0x00, 0x01}},
      {"reserved item type", {0x0C}},
      {"reserved main tag", {0xD0}},
      {"long item cut short", {0xFE, 0x05, 0x00, 0x01}},
      {"push stack overflow", Bytes(40, 0xA4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ParseReportDescriptor(c.bytes).well_formed);
  }
}

TEST(ReportDescriptorTest, HugeFieldsSaturateInsteadOfWrapping) {
  // 0xFFFFFFFF-bit fields, 0xFFFFFFFF of them, twice: far beyond 64 bits of bit count.
  const Bytes huge = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF,
                      0x81, 0x02, 0x81, 0x02, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02};
  const ReportDescriptorInfo info = ParseReportDescriptor(huge);
  EXPECT_EQ(info.InputReportLength, 0xFFFF);
  EXPECT_EQ(info.OutputReportLength, 2);
}

TEST(ReportDescriptorTest, GarbageNeverReadsOutOfBounds) {
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1664525U + 1013904223U;
    return static_cast<std::uint8_t>(state >> 24);
  };
  for (int round = 0; round < 2000; ++round) {
    Bytes bytes(next() % 48);
    for (std::uint8_t& byte : bytes) byte = next();
    const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
    static_cast<void>(info);
  }
  SUCCEED();
}

}  // namespace
}  // namespace qz
