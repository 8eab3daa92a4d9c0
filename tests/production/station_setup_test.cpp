// The station windows' setup on in-memory controls: what Start takes from it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "hid/hid_backend.h"
#include "production/station_setup.h"
#include "prodlog/production_log.h"
#include "support/sample_images.h"

namespace qz::production {
namespace {

class StationSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteBytes(image_, test::SampleBytes());
    controls_.SetText(ctl::kOriginPath, image_);
    ASSERT_TRUE(setup_.CheckImage()) << setup_.ImageReport().front();
    // Developer mode, "Update Enable", the product string, as the operator clicks them
    controls_.SetChecked(ctl::kUpdateEnable, true);
    ASSERT_TRUE(setup_.OnClicked(ctl::kUpdateEnable));
    controls_.SetChecked(ctl::kProductBox, true);
    controls_.SetText(ctl::kProductEdit, "Line 7");
  }

  test::ScratchDir dir_;
  std::string image_ = dir_.File("image.bin");
  HeadlessControls controls_;
  ManualClock clock_;
  StationSetup setup_{controls_, clock_, "qz670x-mp"};
};

// The first serial number is formatted and checked as every unit's will be; the log row's start
// carries the image's digest, the mode and the overrides.
TEST_F(StationSetupTest, StartTakesTheSerialNumbersAndOverridesAsChosen) {
  std::string error;
  EXPECT_FALSE(setup_.PrepareStart("L7-##", "100", &error));
  EXPECT_NE(error.find("does not fit the 2-digit counter"), std::string::npos) << error;

  std::optional<StationStart> start = setup_.PrepareStart("L7-####", "41", &error);
  ASSERT_TRUE(start) << error;
  EXPECT_EQ(start->unit_start.serial_format->Format(start->unit_start.serial_start), "L7-0041");
  EXPECT_EQ(start->unit_start.overrides,
            (std::vector<std::pair<std::string, std::string>>{{"product", "Line 7"}}));
  EXPECT_EQ(start->unit_start.image_sha256.size(), 64U);
  EXPECT_EQ(start->unit_start.image_path, image_);
  EXPECT_FALSE(start->choices.factory);

  // a serial number the dialog refuses (longer than its 32 characters) stops the start
  controls_.SetChecked(ctl::kSerialBox, true);
  EXPECT_FALSE(setup_.PrepareStart(std::string(30, 'X') + "####", "1", &error));
  EXPECT_EQ(setup_.Messages(), std::vector<std::string>{std::string(msg::kSerialLength)});
}

// With no format in the window, the station configuration's list of the line or program gives
// the numbers; a format typed in the window goes before them.
TEST_F(StationSetupTest, TheConfigurationsListOrProgramWhenTheWindowGivesNoFormat) {
  StationSettings settings;
  settings.serial_program = "mes-take --line '7 A'";
  setup_.SetStationSettings(settings);
  std::string error;
  std::optional<StationStart> start = setup_.PrepareStart("", "", &error);
  ASSERT_TRUE(start) << error;
  EXPECT_EQ(start->serial_program, (std::vector<std::string>{"mes-take", "--line", "7 A"}));
  EXPECT_FALSE(start->unit_start.serial_format);

  settings.serial_program.clear();
  settings.serial_list_name = "order-4711";
  setup_.SetStationSettings(settings);
  start = setup_.PrepareStart("", "", &error);
  ASSERT_TRUE(start) << error;
  EXPECT_EQ(start->unit_start.serial_list_name, "order-4711");
  EXPECT_TRUE(start->serial_program.empty());

  start = setup_.PrepareStart("L7-####", "1", &error);
  ASSERT_TRUE(start) << error;
  EXPECT_TRUE(start->unit_start.serial_list_name.empty());
  EXPECT_TRUE(start->unit_start.serial_format);

  settings.serial_list_name.clear();
  settings.serial_program = "mes-take 'unclosed";
  setup_.SetStationSettings(settings);
  EXPECT_FALSE(setup_.PrepareStart("", "", &error));
  EXPECT_NE(error.find("the serial program"), std::string::npos) << error;
}

// The operator changes the log location while stopped, unless a locked station's configuration
// names it: then it is the line the station records to.
TEST_F(StationSetupTest, ALockedConfigurationsLogCannotBeChanged) {
  StationSettings settings;
  settings.log = "service=line";
  setup_.SetStationSettings(settings);
  EXPECT_FALSE(setup_.LogFixed(false));
  EXPECT_TRUE(setup_.LogFixed(true));
  settings.require_signed_jobs = true;
  setup_.SetStationSettings(settings);
  EXPECT_TRUE(setup_.LogFixed(false));
  settings.log.clear();
  setup_.SetStationSettings(settings);
  EXPECT_FALSE(setup_.LogFixed(false));
}

TEST(StationPorts, ListedOnceOrEveryPortWithAChip) {
  EXPECT_EQ(ParsePortList(" 1-4.1, 1-4.2;sim-3\t"),
            (std::vector<std::string>{"1-4.1", "1-4.2", "sim-3"}));
  NullHidBackend none;
  std::string error;
  EXPECT_FALSE(RunPorts({"sim-1", "sim-1"}, none, &error));
  EXPECT_EQ(error, "port sim-1 is named twice");
  EXPECT_FALSE(RunPorts({}, none, &error));
  EXPECT_EQ(error, "no chip on any USB port");
}

}  // namespace
}  // namespace qz::production
