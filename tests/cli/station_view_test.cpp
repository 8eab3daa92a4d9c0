// The station command's view: a port's terminal line as the presenter's tile reads, and the
// progress written to a pipe nobody asked to be JSON, on a manual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/station_view.h"
#include "hid/hid_backend.h"
#include "production/station_presenter.h"

namespace qz::cli {
namespace {

class StationViewTest : public testing::Test {
 protected:
  explicit StationViewTest(bool json = false, bool piped = false)
      : output_{json, &out_, &err_},
        view_(output_, {"sim-1"}, /*terminal=*/!json, piped, clock_),
        presenter_(bus_, nullptr, clock_, view_) {
    view_.Attach(presenter_);
    presenter_.SetReports(&view_, json);
  }

  std::ostringstream out_;
  std::ostringstream err_;
  Output output_;
  ManualClock clock_;
  NullHidBackend bus_;
  StationView view_;
  production::StationPresenter presenter_;
};

TEST_F(StationViewTest, APortsLineFollowsItsUnitAndAWaitingPortShowsNoSerial) {
  presenter_.OnUnitStarted("sim-1", "L7-000001");
  presenter_.OnPortState("sim-1", station::PortState::kProgramming);
  presenter_.OnPortProgress("sim-1", 45);
  EXPECT_EQ(view_.Describe("sim-1"), "sim-1  programming 45 %  L7-000001");
  station::UnitReport unit;
  unit.port = "sim-1";
  unit.serial = "L7-000001";
  unit.passed = true;
  presenter_.OnUnitFinished(unit);
  presenter_.OnPortState("sim-1", station::PortState::kPassed);
  EXPECT_EQ(view_.Describe("sim-1"), "sim-1  PASS, remove the unit  L7-000001");
  presenter_.OnPortState("sim-1", station::PortState::kWaiting);
  EXPECT_EQ(view_.Describe("sim-1"), "sim-1  waiting");

  presenter_.OnUnitStarted("sim-1", "L7-000002");
  presenter_.OnPortState("sim-1", station::PortState::kProgramming);
  unit.serial = "L7-000002";
  unit.passed = false;
  unit.exit = 12;
  unit.message = "Verify EEPROM Fail!";
  unit.log_failed = true;
  presenter_.OnUnitFinished(unit);
  presenter_.OnPortState("sim-1", station::PortState::kFailed);
  EXPECT_EQ(view_.Describe("sim-1"), "sim-1  FAIL (12) Verify EEPROM Fail!, remove the unit  L7-000002");
  presenter_.OnPortState("sim-1", station::PortState::kWaiting);
  EXPECT_EQ(view_.Describe("sim-1"), "sim-1  waiting");
  // drawn in place: the port's line, then the totals
  view_.Draw();
  EXPECT_NE(out_.str().find("\x1b[2Ksim-1  waiting\n\x1b[2Kunits 0  passed 0  failed 0  0 units/h\n"),
            std::string::npos)
      << out_.str();
}

class PipedProgress : public StationViewTest {
 protected:
  PipedProgress() : StationViewTest(/*json=*/true, /*piped=*/true) {}
  void Progress(const char* port, int percent, std::chrono::milliseconds after) {
    clock_.Advance(after);
    presenter_.OnPortProgress(port, percent);
  }
};

TEST_F(PipedProgress, AtMostOnceASecondPerPortAndTheEndAlways) {
  presenter_.OnUnitStarted("sim-1", "");
  presenter_.OnUnitStarted("sim-2", "");
  Progress("sim-1", 1, std::chrono::milliseconds(0));
  Progress("sim-2", 1, std::chrono::milliseconds(0));
  Progress("sim-1", 2, std::chrono::milliseconds(400));
  Progress("sim-1", 3, std::chrono::milliseconds(400));
  Progress("sim-1", 4, std::chrono::milliseconds(200));  // a second after the first
  Progress("sim-2", 5, std::chrono::milliseconds(0));
  Progress("sim-1", 100, std::chrono::milliseconds(10));
  EXPECT_EQ(out_.str(),
            "{\"percent\":1,\"port\":\"sim-1\",\"type\":\"progress\"}\n"
            "{\"percent\":1,\"port\":\"sim-2\",\"type\":\"progress\"}\n"
            "{\"percent\":4,\"port\":\"sim-1\",\"type\":\"progress\"}\n"
            "{\"percent\":5,\"port\":\"sim-2\",\"type\":\"progress\"}\n"
            "{\"percent\":100,\"port\":\"sim-1\",\"type\":\"progress\"}\n");
}

}  // namespace
}  // namespace qz::cli
