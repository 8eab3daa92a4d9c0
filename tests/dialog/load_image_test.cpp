#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "base/hex_text.h"
#include "dialog_fixture.h"
#include "image/image_format.h"

namespace qz {
namespace {

namespace layout = sample_layout;
using Bytes = std::vector<std::uint8_t>;

struct LoadCase {
  const char* name;
  std::function<Bytes()> make;
  std::string_view message;  // empty: the load succeeds
  // Parts of the detail beside the message, in order: which check failed and with what values.
  std::vector<std::string> detail{};
};

Bytes Sample(SampleVariant variant = SampleVariant::kValid) { return test::SampleBytes(variant); }

const LoadCase kLoadCases[] = {
    {"OneByteShort", [] { Bytes b = Sample(); b.pop_back(); return b; }, msg::kFileSizeError,
     {"the file has 32783 bytes, an image has 32784"}},
    {"OneByteLong", [] { Bytes b = Sample(); b.push_back(0); return b; }, msg::kFileSizeError,
     {"the file has 32785 bytes, an image has 32784"}},
    {"HundredThousandBytes", [] { return Bytes(100000, 0); }, msg::kFileSizeError,
     {"the file has at least 32816 bytes, an image has 32784"}},
    {"Empty", [] { return Bytes(); }, msg::kFileSizeError,
     {"the file has 0 bytes, an image has 32784"}},
    // the body changed by 0x40 at one byte: the stored sum is 0x40 off the computed one
    {"BodyByteChanged", [] { Bytes b = Sample(); b[5000] ^= 0x40; return b; }, msg::kInvalidFile,
     {"byte sum of bytes 0..32777 is 0x" +
          FormatHex(ReadLe32(Sample().data() + kSumOffset) +
                        (Sample()[5000] & 0x40 ? -0x40u : 0x40u), 8),
      ", the image stores 0x" + FormatHex(ReadLe32(Sample().data() + kSumOffset), 8)}},
    // the sum's top byte is compared too, although it is always zero
    {"SumTopByteSet", [] { Bytes b = Sample(); b[kSumOffset + 3] = 1; return b; },
     msg::kInvalidFile, {"byte sum of bytes 0..32777 is 0x00", ", the image stores 0x01"}},
    {"CrcBytesSwapped",
     [] {
       Bytes b = Sample();
       std::swap(b[kCrcOffset], b[kCrcOffset + 1]);
       return b;
     },
     msg::kInvalidFileCrc,
     {"CRC-16 of bytes 0..32777 is 0x" + FormatHex(ReadLe16(Sample().data() + kCrcOffset), 4) +
      ", the image stores 0x" +
      FormatHex(static_cast<std::uint16_t>(Sample()[kCrcOffset] << 8 | Sample()[kCrcOffset + 1]),
                4)}},
    {"WrongCId", [] { return Sample(SampleVariant::kBadCId); }, msg::kFwError,
     {"chip ID byte after QZCIdTag is 0x", ", expected 0x27 (header variant 0x00 + 39)"}},
    {"WrongVariant", [] { return Sample(SampleVariant::kBadVariant); }, msg::kFwError,
     {"header bytes 0..4 are 57 54 43 ", ", expected 57 54 43 00 4F"}},
    {"NoCId", [] { return Sample(SampleVariant::kNoCId); }, msg::kFwError,
     {"tag QZCIdTag not found in bytes 0..32783"}},
    {"HeaderMagicWrong",
     [] {
       Bytes b = Sample();
       b[4] = 'X';
       test::FixTrailer(b);
       return b;
     },
     msg::kFwError, {"header bytes 0..4 are 57 54 43 00 58, expected 57 54 43 00 4F"}},
    {"Valid", [] { return Sample(); }, {}},
    {"NoFirmwareBlock", [] { return Sample(SampleVariant::kNoFwL); }, {}},
    {"TwoFirmwareBlocks", [] { return Sample(SampleVariant::kTwoFwL); }, {}},
    {"FirmwareBlockAtTheEnd", [] { return Sample(SampleVariant::kFwLAtEnd); }, {}},
    {"NoDeviceDescriptors", [] { return Sample(SampleVariant::kNoHsD); }, {}},
    {"NoStringArea", [] { return Sample(SampleVariant::kNoStr); }, {}},
};

class LoadImageFileTest : public test::DialogTest,
                          public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadImageFileTest, ShowsOneMessageForTheFirstFailedCheck) {
  const LoadCase& c = GetParam();
  const Bytes bytes = c.make();
  ASSERT_TRUE(c.message.empty() || bytes != Sample()) << "the case must change the image";
  const std::string path = dir_.File("image.bin");
  test::WriteBytes(path, bytes);

  const HResult result = dialog_->LoadImageFile(path.c_str());
  if (c.message.empty()) {
    EXPECT_EQ(result, S_OK);
    EXPECT_TRUE(Messages().empty());
  } else {
    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(Messages(), std::vector<std::string>{std::string(c.message)});
    const std::string detail = controls_.Messages().back().detail;
    std::size_t from = 0;
    for (const std::string& part : c.detail) {
      const std::size_t at = detail.find(part, from);
      EXPECT_NE(at, std::string::npos) << "\"" << part << "\" not in \"" << detail << "\"";
      if (at != std::string::npos) from = at + part.size();
    }
  }
  // FileImage holds what was read (at most 32816 bytes), zeros after it
  const std::size_t read = std::min(bytes.size(), kImageBufferSize);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(read),
                         dialog_->FileImage.bytes.begin()));
  EXPECT_TRUE(std::all_of(dialog_->FileImage.bytes.begin() + static_cast<std::ptrdiff_t>(read),
                          dialog_->FileImage.bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Files, LoadImageFileTest, testing::ValuesIn(kLoadCases),
                         [](const testing::TestParamInfo<LoadCase>& param) {
                           return param.param.name;
                         });

using LoadImageFileResults = test::DialogTest;

TEST_F(LoadImageFileResults, PathFailuresComeBeforeAnyRead) {
  struct Case {
    const char* name;
    std::string path;
    bool null_path;
    std::string_view message;
  };
  const Case cases[] = {
      {"no path", "", true, msg::kFailPathError},
      {"empty path", "", false, msg::kFailToOpenFile},
      {"missing file", dir_.File("missing.bin"), false, msg::kFailToOpenFile},
      {"a directory", dir_.path(), false, msg::kFailToOpenFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controls_.ClearMessages();
    EXPECT_EQ(dialog_->LoadImageFile(c.null_path ? nullptr : c.path.c_str()), E_FAIL);
    EXPECT_EQ(Messages(), std::vector<std::string>{std::string(c.message)});
    if (c.null_path) continue;
    // the file is named, then the system's reason (its words differ between systems)
    const std::string detail = controls_.Messages().back().detail;
    const std::string named = "\"" + c.path + "\": ";
    EXPECT_EQ(detail.substr(0, named.size()), named);
    EXPECT_GT(detail.size(), named.size() + 4) << detail;
  }
}

TEST_F(LoadImageFileResults, FillTheFirmwareInfoAndCIdState) {
  ASSERT_EQ(dialog_->LoadImageFile(WriteSample("a.bin").c_str()), S_OK);
  EXPECT_EQ(dialog_->FwInfo.found, 1u);
  EXPECT_EQ(dialog_->FwInfo.info_words[kFirmwareIdWord], 0x5067);
  EXPECT_EQ(dialog_->CId.found, 1u);
  EXPECT_EQ(dialog_->CId.cid, 0x27);

  ASSERT_EQ(dialog_->LoadImageFile(WriteSample("b.bin", SampleVariant::kNoFwL).c_str()), S_OK);
  EXPECT_EQ(dialog_->FwInfo.found, 0u);
  EXPECT_EQ(dialog_->CId.found, 1u);
}

TEST_F(LoadImageFileResults, ALoadFailingBeforeTheHeaderCheckKeepsTheLastResults) {
  SampleImageOptions options;
  options.firmware_id = 0x4242;
  ASSERT_EQ(dialog_->LoadImageFile(WriteSample("good.bin", options).c_str()), S_OK);
  Bytes bad = test::SampleBytes();
  bad[100] ^= 1;
  test::WriteBytes(dir_.File("bad.bin"), bad);
  ASSERT_EQ(dialog_->LoadImageFile(dir_.File("bad.bin").c_str()), E_FAIL);
  EXPECT_EQ(dialog_->FwInfo.found, 1u);
  EXPECT_EQ(dialog_->FwInfo.info_words[kFirmwareIdWord], 0x4242);
  EXPECT_EQ(dialog_->CId.found, 1u);

  // a failed header check overwrites them
  ASSERT_EQ(dialog_->LoadImageFile(WriteSample("cid.bin", SampleVariant::kNoCId).c_str()), E_FAIL);
  EXPECT_EQ(dialog_->CId.found, 0u);
}

TEST_F(LoadImageFileResults, MessagesAreOwnedByTheDialogWithoutIcon) {
  ASSERT_EQ(dialog_->LoadImageFile(""), E_FAIL);
  const std::vector<MessageBoxRequest> shown = controls_.Messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "qz670x-test");
  EXPECT_EQ(shown[0].icon, MessageIcon::kNone);
}

TEST_F(LoadImageFileResults, ReadFromFileAddsItsMessageOnlyOnFailure) {
  const std::string long_name = dir_.File(std::string(270 - (dir_.path().size() + 1), 'n'));
  ASSERT_LT(dir_.path().size() + 1, 250u) << "scratch directory too deep for this test";
  test::WriteBytes(long_name.substr(0, 259), test::SampleBytes());
  struct Case {
    const char* name;
    std::string path;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"empty name", "", {"Fail to open file", "Read File Error!"}},
      {"valid image", WriteSample("ok.bin"), {}},
      {"wrong CId", WriteSample("cid.bin", SampleVariant::kBadCId), {"Fw Error!", "Read File Error!"}},
      // a valid image under the first 259 characters is not the file named
      {"name longer than 259 characters", long_name, {"Fail Path Error", "Read File Error!"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controls_.ClearMessages();
    controls_.SetText(ctl::kOriginPath, c.path);
    dialog_->OnReadFromFile();
    EXPECT_EQ(Messages(), c.messages);
  }
}

}  // namespace
}  // namespace qz
