// What every station face shows, from the presenter alone: the tiles before and during a run,
// the status line, the totals and the history, the closing rule, and the station's reports to
// its log, over virtual chips on a manual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "devices/device_session.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "production/station_presenter.h"
#include "production/station_setup.h"
#include "prodlog/log_summary.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"

namespace qz::production {
namespace {

constexpr auto kRunTimeout = std::chrono::minutes(3);

// A face that draws nothing: it counts what it is told and answers the closing question.
class RecordingFace final : public StationFace {
 public:
  void TileChanged(const std::string&) override {}
  void TilesChanged() override { ++tile_sets; }
  void StatusChanged() override {}
  void TotalsChanged() override {}
  void HistoryChanged() override {}
  void RunChanged() override {}
  bool Confirm(const std::string& question) override {
    questions.push_back(question);
    return answer;
  }
  void Close() override { closed = true; }
  bool Wake() override {
    std::lock_guard lock(mutex_);
    woken_ = true;
    wake_.notify_all();
    return true;
  }
  // Waits for the next report (a real wait for the ports' threads, not a protocol pause).
  void AwaitWake() {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return woken_; });
    woken_ = false;
  }

  int tile_sets = 0;
  std::vector<std::string> questions;
  bool answer = false;
  bool closed = false;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

class StationPresenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteBytes(image_, test::SampleBytes());
    DeviceConfig config;
    config.simulate = 4;
    config.sim_faults = {"sim-3:corrupt@0x40"};
    std::string error;
    session_ = DeviceSession::Create(config, &error, &clock_);
    ASSERT_NE(session_, nullptr) << error;
    controls_.SetText(ctl::kOriginPath, image_);
    ASSERT_TRUE(setup_.CheckImage());
    presenter_ = std::make_unique<StationPresenter>(session_->BusBackend(), session_->Hotplug(),
                                                    clock_, face_);
  }
  void TearDown() override {
    presenter_.reset();
    std::string error;
    if (session_) {
      EXPECT_TRUE(session_->Finish(&error)) << error;
    }
  }

  bool Start() {
    StartSteps steps;
    steps.image_accepted = setup_.ImageAccepted();
    steps.check_overrides = [this] { return setup_.CheckOverrides(); };
    steps.prepare = [this](std::string* error) { return setup_.PrepareStart("", "", error); };
    steps.log_location = log_;
    RunPlan plan;
    plan.virtual_chip = [this](const std::string& port) { return session_->ChipOnPort(port); };
    return presenter_->Start(steps, std::move(plan));
  }

  template <typename Predicate>
  bool DrainUntil(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      face_.AwaitWake();
      presenter_->Drain();
    }
    return true;
  }

  test::ScratchDir dir_;
  std::string image_ = dir_.File("image.bin");
  std::string log_ = dir_.File("production.sqlite3");
  ManualClock clock_;
  std::unique_ptr<DeviceSession> session_;
  HeadlessControls controls_;
  StationSetup setup_{controls_, clock_, "qz670x-mp"};
  RecordingFace face_;
  std::unique_ptr<StationPresenter> presenter_;
};

// Before Start a port reads "ready" where a chip sits and "no chip" where a listed one has none;
// the status line says why it cannot start until it can.
TEST_F(StationPresenterTest, BeforeStartTheTilesShowWhereChipsSit) {
  session_->ChipOnPort("sim-4")->SetPresent(false);
  presenter_->ShowIdlePorts({"sim-4"});
  ASSERT_EQ(presenter_->Tiles().size(), 4U);
  EXPECT_EQ(TileStateText(*presenter_->Tile("sim-1")), "ready");
  EXPECT_EQ(TileStateText(*presenter_->Tile("sim-4")), "no chip");
  presenter_->ShowIdlePorts();
  EXPECT_EQ(presenter_->Tile("sim-4"), nullptr);

  presenter_->SetSetupState(false, false);
  EXPECT_EQ(presenter_->Status(), "Choose an image that passes its check to start.");
  EXPECT_FALSE(presenter_->CanStart(false));
  presenter_->SetSetupState(true, false);
  EXPECT_EQ(presenter_->Status(), "Ready: press Start.");
  EXPECT_TRUE(presenter_->CanStart(true));
  presenter_->SetConfigError("the station's configuration cannot be read");
  EXPECT_FALSE(presenter_->CanStart(true));
  EXPECT_TRUE(presenter_->StatusAlarm());
}

// A run: one faulty chip fails alone, a port whose unit was taken away keeps its outcome as one
// line, the totals and the history agree with the log, and Stop lets the running units finish.
TEST_F(StationPresenterTest, ARunShowsEachUnitAndStopsWhenAsked) {
  ASSERT_TRUE(Start());
  EXPECT_TRUE(presenter_->Running());
  EXPECT_EQ(presenter_->Status(), "Running: plug in the units.");
  EXPECT_EQ(TileStateText(*presenter_->Tile("sim-2")), "waiting for a chip");
  bool failed_alone = false;
  bool others_failed = false;
  ASSERT_TRUE(DrainUntil([&] {
    for (const auto& [port, tile] : presenter_->Tiles()) {
      if (tile.phase != TilePhase::kFail) continue;
      if (port != "sim-3") others_failed = true;
      if (port == "sim-3") failed_alone = TileStateText(tile) == "FAIL (12) - remove the unit";
    }
    const TileState* good = presenter_->Tile("sim-1");
    return failed_alone && good->message.rfind("Last unit: PASS", 0) == 0 &&
           presenter_->Totals().units >= 6;
  }));
  EXPECT_FALSE(others_failed);

  presenter_->Stop();
  EXPECT_TRUE(presenter_->Stopping());
  ASSERT_TRUE(DrainUntil([&] { return !presenter_->Running(); }));
  EXPECT_EQ(presenter_->Status(), "Stopped.");
  const TotalsFigures totals = presenter_->Totals();
  EXPECT_EQ(totals.units, totals.passed + totals.failed);
  ASSERT_FALSE(presenter_->History().empty());
  const HistoryRow& newest = presenter_->History().front();
  EXPECT_TRUE(std::regex_match(newest.time,
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d)")))
      << newest.time;
  EXPECT_EQ(newest.passed, newest.outcome == "PASS");
  EXPECT_EQ(presenter_->LogPath(), log_);
}

// While it runs the station reports to its log what each port does (a unit being written with
// its row and progress) at most every 2 s of its clock, and at its end that it ended, every port
// stopped.
TEST_F(StationPresenterTest, TheStationReportsItsPortsAndItsCleanEnd) {
  ASSERT_TRUE(Start());
  const StationReporter& reporter = *presenter_->Reporter();
  std::string first_writing;
  ASSERT_TRUE(DrainUntil([&] {
    for (const prodlog::PortReport& port : reporter.Last().ports) {
      if (port.activity == "writing" && port.unit_id != 0 && port.percent >= 0) {
        first_writing = reporter.Last().reported;
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(reporter.Last().ports.size(), 4u);
  EXPECT_FALSE(reporter.Last().ended);
  const std::optional<double> when = prodlog::SecondsOf(first_writing);
  ASSERT_TRUE(when);
  // the next report comes once the clock has moved on 2 s
  ASSERT_TRUE(DrainUntil([&] { return reporter.Last().reported != first_writing; }));
  EXPECT_GE(*prodlog::SecondsOf(reporter.Last().reported) - *when, 2.0);

  presenter_->Stop();
  ASSERT_TRUE(DrainUntil([&] { return !presenter_->Running(); }));
  prodlog::LogOptions reading;
  reading.read_only = true;
  prodlog::LogError error;
  auto log = prodlog::ProductionLog::Open(log_, &error, reading);
  ASSERT_TRUE(log) << error.message;
  const auto states = log->StationStates(&error);
  ASSERT_TRUE(states) << error.message;
  ASSERT_EQ(states->size(), 1u);
  const prodlog::StationState& last = (*states)[0];
  EXPECT_TRUE(last.ended);
  EXPECT_EQ(last.station, reporter.Last().station);
  EXPECT_FALSE(last.host.empty());
  ASSERT_EQ(last.ports.size(), 4u);
  for (const prodlog::PortReport& port : last.ports) EXPECT_EQ(port.activity, "stopped");
}

// Closing while jobs run asks once and keeps running on no; a termination signal closes once
// the running units have finished, and a second one stops them at once.
TEST_F(StationPresenterTest, ClosingWhileJobsRunAsksAndSignalsCloseAfterTheRunningUnits) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(DrainUntil([&] { return presenter_->JobsRunning(); }));
  EXPECT_FALSE(presenter_->Close());
  ASSERT_EQ(face_.questions.size(), 1U);
  EXPECT_EQ(face_.questions[0], kStopJobsQuestion);
  EXPECT_TRUE(presenter_->Running());

  presenter_->OnTerminationSignal();
  EXPECT_TRUE(presenter_->ClosingAfterStop());
  EXPECT_FALSE(face_.closed);
  presenter_->OnTerminationSignal();
  EXPECT_TRUE(face_.closed);
  EXPECT_TRUE(presenter_->Ended());
  EXPECT_FALSE(presenter_->Running());
}

// The totals line's rate says nothing under a minute; the history shows local time with its
// offset from UTC.
TEST(StationPresenterText, TotalsAndHistoryTimes) {
  EXPECT_EQ(TotalsText({4, 3, 1, 0.5 / 60}),
            "Units 4     Passed 3     Failed 1     Yield 75.0 %     Units/h -");
  EXPECT_EQ(TotalsText({0, 0, 0, 2.0}),
            "Units 0     Passed 0     Failed 0     Yield -     Units/h 0");
  EXPECT_EQ(TotalsText({120, 120, 0, 0.5}),
            "Units 120     Passed 120     Failed 0     Yield 100.0 %     Units/h 240");
  EXPECT_EQ(HistoryTime("not a time"), "not a time");
#ifndef _WIN32
  const char* was = std::getenv("TZ");
  const std::string saved = was != nullptr ? was : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(HistoryTime("2026-12-09T13:03:22.123Z"), "2026-12-09 14:03:22 +01:00");
  EXPECT_EQ(HistoryTime("2026-07-01T23:30:00.000Z"), "2026-07-02 01:30:00 +02:00");
  setenv("TZ", "<-0330>3:30", 1);
  tzset();
  EXPECT_EQ(HistoryTime("2026-12-09T02:00:00.000Z"), "2026-12-08 22:30:00 -03:30");
  if (was != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

}  // namespace
}  // namespace qz::production
