#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
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
};

Bytes Sample(SampleVariant variant = SampleVariant::kValid) { return test::SampleBytes(variant); }

const LoadCase kLoadCases[] = {
    {"OneByteShort", [] { Bytes b = Sample(); b.pop_back(); return b; }, msg::kFileSizeError},
    {"OneByteLong", [] { Bytes b = Sample(); b.push_back(0); return b; }, msg::kFileSizeError},
    {"HundredThousandBytes", [] { return Bytes(100000, 0); }, msg::kFileSizeError},
    {"Empty", [] { return Bytes(); }, msg::kFileSizeError},
    {"BodyByteChanged", [] { Bytes b = Sample(); b[5000] ^= 0x40; return b; }, msg::kInvalidFile},
    // the sum's top byte is compared too, although it is always zero
    {"SumTopByteSet", [] { Bytes b = Sample(); b[kSumOffset + 3] = 1; return b; },
     msg::kInvalidFile},
    {"CrcBytesSwapped",
     [] {
       Bytes b = Sample();
       std::swap(b[kCrcOffset], b[kCrcOffset + 1]);
       return b;
     },
     msg::kInvalidFileCrc},
    {"WrongCId", [] { return Sample(SampleVariant::kBadCId); }, msg::kFwError},
    {"WrongVariant", [] { return Sample(SampleVariant::kBadVariant); }, msg::kFwError},
    {"NoCId", [] { return Sample(SampleVariant::kNoCId); }, msg::kFwError},
    {"HeaderMagicWrong",
     [] {
       Bytes b = Sample();
       b[4] = 'X';
       test::FixTrailer(b);
       return b;
     },
     msg::kFwError},
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
