// What a successful job writes, how its progress moves, and the state it carries to the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "image/image_format.h"
#include "image/sample_image.h"
#include "support/programming_rig.h"

namespace qz::test {
namespace {

constexpr std::size_t kFactoryChunks = 4095;    // 0x8000: body writes, and reads
constexpr std::size_t kDeveloperChunks = 2049;  // 0x4010

// The positions a job sets, from the body write's reset to 0 to the final 100.
std::vector<int> JobProgress(const HeadlessControls& controls, std::size_t chunks) {
  const std::vector<int> all = controls.ProgressHistory();
  const std::size_t job = 1 + chunks + 1 + chunks + 1;
  EXPECT_GE(all.size(), job);
  if (all.size() < job) return {};
  return {all.end() - static_cast<std::ptrdiff_t>(job), all.end()};
}

TEST(JobProgress, FactoryBodyWriteMovesFromZeroToFifty) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  rig.controls.CheckRadio(ctl::kFactoryMode);
  rig.Write();
  ASSERT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});

  const std::vector<int> progress = JobProgress(rig.controls, kFactoryChunks);
  ASSERT_FALSE(progress.empty());
  // [0] the reset, [k] after body chunk k, [4096] the closing 50
  EXPECT_EQ(progress[0], 0);
  EXPECT_EQ(progress[1], 0);
  EXPECT_EQ(progress[81], 0);
  EXPECT_EQ(progress[82], 1);
  EXPECT_EQ(progress[4094], 49);
  EXPECT_EQ(progress[4095], 50);
  EXPECT_EQ(progress[4096], 50);
  // then the read-back from 50 to 100
  EXPECT_EQ(progress[4097], 50);
  EXPECT_EQ(progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(rig.controls.Progress(ctl::kProgress), 100);
}

TEST(JobProgress, DeveloperReadBackMovesFromFiftyToHundred) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  rig.Write();

  const std::vector<int> progress = JobProgress(rig.controls, kDeveloperChunks);
  ASSERT_FALSE(progress.empty());
  const std::size_t first_read = 1 + kDeveloperChunks + 1;
  EXPECT_EQ(progress[first_read - 1], 50);
  EXPECT_EQ(progress[first_read], 50);  // after the first 16-byte read
  EXPECT_EQ(progress[first_read + kDeveloperChunks - 1], 100);  // after the last 8-byte read
  EXPECT_EQ(progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST(JobProgress, StaysWhereAFailureLeftIt) {
  Rig rig;
  std::string error;
  ASSERT_TRUE(rig.chip.AddFault("no-reply@1027", &error)) << error;  // body chunk 1025
  rig.Init();
  rig.UseImage();
  rig.Write();
  // 1024 chunks of 2049 written: ((800 * 1024) / 16392) / 2 = 24
  EXPECT_EQ(rig.controls.Progress(ctl::kProgress), 24);
}

struct ModeCase {
  const char* name;
  int radio;
  std::size_t length;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class WrittenImage : public ::testing::TestWithParam<ModeCase> {};

TEST_P(WrittenImage, EepromHoldsTheFirstWriteLengthBytesOfThePatchedImage) {
  const ModeCase& c = GetParam();
  Rig rig;
  rig.Init();
  rig.UseImage();
  rig.controls.CheckRadio(c.radio);
  rig.Dialog().UpdateModeControls();
  rig.controls.SetChecked(ctl::kSerialBox, true);
  rig.controls.SetText(ctl::kSerialEdit, "QZ-0042");
  rig.controls.SetChecked(ctl::kHsBcdBox, true);
  rig.controls.SetText(ctl::kHsBcdEdit, "0203");
  rig.Write();
  ASSERT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});
  EXPECT_EQ(rig.Dialog().WriteLength, c.length);

  const std::vector<std::uint8_t> eeprom = rig.chip.Eeprom();
  const ImageBuffer& written = rig.Dialog().WriteImage;
  EXPECT_TRUE(std::equal(written.data(), written.data() + c.length, eeprom.begin()));
  EXPECT_TRUE(std::all_of(eeprom.begin() + static_cast<std::ptrdiff_t>(c.length), eeprom.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
  // the overrides are in the EEPROM, the rest is the file's
  const std::size_t area = sample_layout::kStrTagAt + kTagLength;
  EXPECT_EQ(DecodeStringSlot(eeprom.data() + area, 6), "QZ-0042");
  const std::size_t hs = sample_layout::kHsDTagAt + kTagLength;
  EXPECT_EQ(ReadLe16(eeprom.data() + hs + kBcdDeviceOffset), 0x0203);
  EXPECT_TRUE(std::equal(rig.image.begin() + 8, rig.image.begin() + sample_layout::kHsDTagAt,
                         eeprom.begin() + 8));
}

INSTANTIATE_TEST_SUITE_P(
    BothModes, WrittenImage,
    ::testing::Values(ModeCase{"Factory", ctl::kFactoryMode, 0x8000},
                      ModeCase{"Developer", ctl::kDeveloperMode, 0x4010},
                      // the hidden third mode writes what Developer mode writes
                      ModeCase{"User", ctl::kUserMode, 0x4010}),
    [](const ::testing::TestParamInfo<ModeCase>& param_info) { return param_info.param.name; });

TEST(JobState, SequenceByteRunsOnAcrossJobs) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  rig.Write();
  const std::uint8_t after_first = rig.Dialog().ReportSequence;
  EXPECT_EQ(after_first, SequenceAfter(240, 20, 4105));
  rig.Write();
  EXPECT_EQ(rig.Dialog().ReportSequence, SequenceAfter(after_first, 20, 4105));
  EXPECT_EQ(rig.Texts(), std::vector<std::string>(2, std::string(msg::kWriteOk)));
}

TEST(JobState, StatusMarkAndFirmwareIdFollowTheImage) {
  struct Row {
    const char* name;
    SampleImageOptions image;
    const char* firmware_id_text;  // static 1006 afterwards
    const char* mark;              // static 1010 afterwards
  };
  SampleImageOptions other_id;
  other_id.firmware_id = 0x00AB;
  SampleImageOptions no_fwl;
  no_fwl.variant = SampleVariant::kNoFwL;
  const Row rows[] = {
      {"expected", {}, "5067", " "},
      {"other", other_id, "00AB", "."},
      {"missing", no_fwl, "WXYZ", "."},  // 1006 keeps what it had
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.Init();
    rig.UseImage(row.image);
    rig.controls.SetText(ctl::kFirmwareId, "WXYZ");
    rig.controls.SetText(ctl::kStatusMark, ".");
    rig.Write();
    // written all the same
    EXPECT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});
    EXPECT_EQ(rig.controls.Text(ctl::kFirmwareId), row.firmware_id_text);
    EXPECT_EQ(rig.controls.Text(ctl::kStatusMark), row.mark);
  }
}

}  // namespace
}  // namespace qz::test
