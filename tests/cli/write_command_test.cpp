// `write` against the virtual chip, in-process, on a manual clock: what ends up in the EEPROM,
// and the exit status of every way the road can end.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "dialog/messages.h"
#include "image/sample_image.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"

namespace qz::cli {
namespace {

using test::ScratchDir;

using qz::test::RunResult;

class WriteCommand : public testing::Test {
 protected:
  // A generated image of `variant` in the scratch directory; its path.
  std::string Image(SampleVariant variant = SampleVariant::kValid) {
    image_ = test::SampleBytes(variant);
    const std::string path = dir_.File("image.bin");
    test::WriteBytes(path, image_);
    return path;
  }
  std::string Eeprom() const { return dir_.File("eeprom.bin"); }

  // Runs `write IMAGE args... --simulate --sim-eeprom FILE`; `prepare` sees the session first.
  RunResult Write(const std::string& image, std::vector<std::string> args,
                  std::function<void(DeviceSession&)> prepare = {}) {
    args.insert(args.begin(), {"write", image});
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
      args.erase(std::find(args.begin(), args.end(), "--json"));
      args.insert(args.begin(), "--json");
    }
    args.insert(args.end(), {"--simulate", "--sim-eeprom", Eeprom()});
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock, std::move(prepare));
    return qz::test::RunCli(std::move(args));
  }

  ScratchDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(WriteCommand, DeveloperModeWritesTheFirst16400BytesAndLeavesTheRest) {
  const RunResult run = Write(Image(), {});
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.err.find("Write to EEPROM OK!"), std::string::npos);
  const std::vector<std::uint8_t> eeprom = test::ReadBytes(Eeprom());
  ASSERT_EQ(eeprom.size(), 32768u);
  EXPECT_TRUE(std::equal(image_.begin(), image_.begin() + 0x4010, eeprom.begin()));
  EXPECT_TRUE(std::all_of(eeprom.begin() + 0x4010, eeprom.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(WriteCommand, AChipRunningItsFirmwareIsErasedReplugedAndWritten) {
  ASSERT_EQ(Write(Image(), {}).exit, 0);  // an EEPROM that starts the firmware
  const RunResult run = Write(Image(), {"--sim-mode", "firmware"});
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.err.find(std::string(msg::kReplugDevice)), std::string::npos);
}

TEST_F(WriteCommand, GivesUpWhenTheChipDoesNotComeBackInRomMode) {
  const RunResult run = Write(Image(), {"--sim-mode", "firmware", "--replug-timeout", "3"},
                              [](DeviceSession& session) {
                                // the chip re-plugs, but nobody hears of it
                                session.Chip()->SetPlugListener(nullptr);
                              });
  EXPECT_EQ(run.exit, static_cast<int>(Exit::kTimeout)) << run.err;
  EXPECT_NE(run.err.find("not back in ROM mode within 3 s"), std::string::npos);
  // no job ran: the body is as the chip came
  const std::vector<std::uint8_t> eeprom = test::ReadBytes(Eeprom());
  EXPECT_TRUE(std::all_of(eeprom.begin() + 8, eeprom.end(),
                          [](std::uint8_t b) { return b == 0xFF; }));
}

struct ExitCase {
  const char* name;
  SampleVariant image;
  std::vector<std::string> args;
  int exit;
  std::string in_err;  // a line the run prints
};
void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class WriteExit : public WriteCommand, public testing::WithParamInterface<ExitCase> {};

TEST_P(WriteExit, MapsEveryEndingToItsStatus) {
  const ExitCase& c = GetParam();
  const RunResult run = Write(Image(c.image), c.args);
  EXPECT_EQ(run.exit, c.exit) << run.err;
  EXPECT_NE(run.err.find(c.in_err), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, WriteExit,
    testing::Values(
        ExitCase{"Ok", SampleVariant::kValid, {}, 0, "Write to EEPROM OK!"},
        ExitCase{"TargetGivenVerbatim", SampleVariant::kValid, {"--vid", "0x1d6c", "--pid", "6706"},
                 0, "Write to EEPROM OK!"},
        ExitCase{"StatusNotZero", SampleVariant::kValid, {"--sim-fault", "status=4"}, 2,
                 "Try Again!(2)"},
        ExitCase{"BodyWriteLost", SampleVariant::kValid, {"--sim-fault", "no-reply@100"}, 8,
                 "Fail to write EEPROM!!\nWrite to EEPROM Fail!  Try Again!(8)"},
        ExitCase{"BodyDiffers", SampleVariant::kValid, {"--sim-fault", "corrupt@300"}, 12,
                 "EEPROM byte 0x012C reads"},
        ExitCase{"FinalHeaderReadLost", SampleVariant::kValid, {"--sim-fault", "no-reply@4105"},
                 13, ""},
        ExitCase{"NoChip", SampleVariant::kValid, {"--sim-fault", "absent"}, 22,
                 std::string(msg::kDeviceNotFound)},
        ExitCase{"NoChipBeforeTheErase", SampleVariant::kValid,
                 {"--sim-fault", "absent", "--sim-mode", "firmware"}, 22,
                 std::string(msg::kEepromCantBeWritten)},
        ExitCase{"ImageRejected", SampleVariant::kBadCId, {}, 20, std::string(msg::kFwError)},
        ExitCase{"StringAreaMissing", SampleVariant::kNoStr, {"--serial", "X"}, 20,
                 std::string(msg::kReplaceStringError)},
        ExitCase{"OverrideRejected", SampleVariant::kValid, {"--hs-bcd", "12345"}, 21,
                 std::string(msg::kInvalidHsBcdValue)},
        ExitCase{"BothModes", SampleVariant::kValid, {"--factory", "--developer"}, 64, ""},
        ExitCase{"NegativeReplugTimeout", SampleVariant::kValid, {"--replug-timeout", "-1"}, 64,
                 ""}),
    [](const testing::TestParamInfo<ExitCase>& param_info) { return param_info.param.name; });

TEST_F(WriteCommand, RefusesAPathTheDialogWouldCutShort) {
  const std::string path = dir_.File(std::string(260, 'a'));
  const RunResult run = Write(path, {});
  EXPECT_EQ(run.exit, 64);
  EXPECT_NE(run.err.find("path longer than 259 characters"), std::string::npos);
}

TEST_F(WriteCommand, JsonReportsProgressMessagesAndTheResult) {
  const RunResult run = Write(Image(), {"--json"});
  ASSERT_EQ(run.exit, 0) << run.err;
  std::vector<int> percents;
  std::vector<std::string> messages;
  nlohmann::json last;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    last = nlohmann::json::parse(line);
    if (last["type"] == "progress") percents.push_back(last["percent"].get<int>());
    if (last["type"] == "message") messages.push_back(last["text"].get<std::string>());
  }
  EXPECT_EQ(messages, std::vector<std::string>{std::string(msg::kWriteOk)});
  EXPECT_EQ(last, (nlohmann::json{{"type", "result"}, {"exit", 0}}));
  // one line per position: 0 to 100, each once
  std::vector<int> expected(101);
  for (int i = 0; i <= 100; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(percents, expected);
}

}  // namespace
}  // namespace qz::cli

namespace qz::cli {
namespace {

TEST(PortScopedWrite, WritesOnlyTheChipOnItsPortThroughEraseAndReplug) {
  ScratchDir dir;
  const std::vector<std::uint8_t> image = test::SampleBytes(SampleVariant::kValid);
  test::WriteBytes(dir.File("image.bin"), image);
  const std::string eeproms = dir.File("chips");
  const auto write = [&](const std::string& port, std::vector<std::string> more) {
    std::vector<std::string> args{"write", dir.File("image.bin"), "--port", port,
                                  "--simulate", "2", "--sim-eeprom", eeproms};
    args.insert(args.end(), more.begin(), more.end());
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock);
    return qz::test::RunCli(std::move(args));
  };
  const auto holds_image = [&](const std::string& file) {
    const std::vector<std::uint8_t> eeprom = test::ReadBytes(file);
    return eeprom.size() == 32768u && std::equal(image.begin(), image.begin() + 0x4010, eeprom.begin());
  };

  RunResult run = write("sim-2", {});
  ASSERT_EQ(run.exit, 0) << run.err;
  const std::vector<std::uint8_t> first = test::ReadBytes(eeproms + "/sim-1.bin");
  EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(holds_image(eeproms + "/sim-2.bin"));

  // Both chips run their firmware: only the one on sim-1 is erased, re-plugged and written.
  run = write("sim-1", {"--sim-mode", "firmware"});
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.err.find(std::string(msg::kReplugDevice)), std::string::npos);
  EXPECT_TRUE(holds_image(eeproms + "/sim-1.bin"));
  EXPECT_TRUE(holds_image(eeproms + "/sim-2.bin"));

  run = write("sim-7", {});
  EXPECT_EQ(run.exit, static_cast<int>(Exit::kNoChip)) << run.err;
}

}  // namespace
}  // namespace qz::cli
