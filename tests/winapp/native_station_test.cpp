// The native station window on four virtual chips, one of them faulty: what its tiles, totals
// and history show against what the log holds, and its closing rule.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "base/clock.h"
#include "devices/device_session.h"
#include "prodlog/production_log.h"
#include "support/sample_images.h"

#include "winapp/native_station.h"

namespace qz::winapp {
namespace {

constexpr auto kRunTimeout = std::chrono::minutes(3);

class NativeStationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteBytes(image_, test::SampleBytes());
    DeviceConfig config;
    config.simulate = 4;
    config.sim_faults = {"sim-3:corrupt@0x40"};
    std::string error;
    session_ = DeviceSession::Create(config, &error, &clock_);
    ASSERT_NE(session_, nullptr) << error;
    window_ = std::make_unique<NativeStation>(GetModuleHandleW(nullptr), *session_, "qz670x-mp");
    ASSERT_TRUE(window_->Create()) << GetLastError();
    window_->SetImagePath(image_);
    window_->SetLogFile(log_);
  }
  void TearDown() override {
    window_.reset();
    std::string error;
    if (session_) {
      EXPECT_TRUE(session_->Finish(&error)) << error;
    }
  }

  template <typename Predicate>
  bool PumpUntil(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      window_->PumpMessages();
    }
    return true;
  }

  std::vector<prodlog::UnitRecord> LogRows() const {
    prodlog::LogError error;
    prodlog::LogOptions options;
    options.read_only = true;
    auto log = prodlog::ProductionLog::Open(log_, &error, options);
    EXPECT_NE(log, nullptr) << error.message;
    if (!log) return {};
    return log->Rows({}, &error).value_or(std::vector<prodlog::UnitRecord>{});
  }

  test::ScratchDir dir_;
  std::string image_ = dir_.File("image.bin");
  std::string log_ = dir_.File("production.sqlite3");
  ManualClock clock_;
  std::unique_ptr<DeviceSession> session_;
  std::unique_ptr<NativeStation> window_;
};

TEST_F(NativeStationTest, ThreeTilesPassOneFailsAndTotalsAndHistoryAgreeWithTheLog) {
  ASSERT_TRUE(window_->StartProduction()) << window_->StatusText();
  // what each tile showed when its first unit ended
  std::map<std::string, NativeTile> outcome;
  window_->SetTileHook([&](const std::string& port, const NativeTile& tile) {
    if (tile.remove) outcome.emplace(port, tile);
  });
  ASSERT_TRUE(PumpUntil([&] { return outcome.size() == 4; }));
  window_->StopProduction();
  ASSERT_TRUE(PumpUntil([&] { return !window_->Running(); }));

  EXPECT_EQ(window_->TilePorts(), (std::vector<std::string>{"sim-1", "sim-2", "sim-3", "sim-4"}));
  for (const auto& [port, tile] : outcome) {
    SCOPED_TRACE(port);
    if (port == "sim-3") {
      EXPECT_EQ(tile.phase, NativeTile::Phase::kFail);
      EXPECT_EQ(tile.code, 12);
      EXPECT_EQ(tile.message, "Write to EEPROM Fail!  Try Again!(12)");
      EXPECT_EQ(NativeStation::StateText(tile), "FAIL (12) - remove the unit");
    } else {
      EXPECT_EQ(tile.phase, NativeTile::Phase::kPass);
      EXPECT_EQ(NativeStation::StateText(tile), "PASS - remove the unit");
    }
  }

  const std::vector<prodlog::UnitRecord> rows = LogRows();
  int passed = 0;
  int failed = 0;
  for (const prodlog::UnitRecord& row : rows) {
    ASSERT_TRUE(row.finished);
    (row.exit_code == 0 ? passed : failed) += 1;
    EXPECT_EQ(row.exit_code != 0, row.port == "sim-3") << row.port;
  }
  const station::StationTotals totals = window_->Totals();
  EXPECT_EQ(totals.units, static_cast<int>(rows.size()));
  EXPECT_EQ(totals.passed, passed);
  EXPECT_EQ(totals.failed, failed);
  EXPECT_EQ(window_->TotalsText().rfind("Units " + std::to_string(rows.size()) + "     Passed " +
                                            std::to_string(passed) + "     Failed " +
                                            std::to_string(failed) + "     Yield ",
                                        0),
            0U)
      << window_->TotalsText();

  // the history: the newest units first, as the log has them
  const std::vector<std::vector<std::string>> history = window_->HistoryRows();
  ASSERT_EQ(history.size(), std::min<std::size_t>(rows.size(), 50));
  for (std::size_t i = 0; i < history.size(); ++i) {
    const prodlog::UnitRecord& row = rows[rows.size() - 1 - i];
    EXPECT_EQ(history[i][1], row.port);
    EXPECT_EQ(history[i][3],
              row.exit_code == 0 ? "PASS" : "FAIL (12) Write to EEPROM Fail!  Try Again!(12)");
  }
}

TEST_F(NativeStationTest, ClosingWhileJobsRunAsksOnceAndYesStopsEveryJob) {
  int asked = 0;
  bool answer = false;
  window_->SetConfirmer([&](const std::string& text) {
    ++asked;
    EXPECT_EQ(text, kStopJobsQuestion);
    return answer;
  });
  // the operator closes the window while a tile shows a running job: No, then Yes
  int closes = 0;
  window_->SetTileHook([&](const std::string&, const NativeTile&) {
    if (closes == 2 || !window_->JobsRunning()) return;
    answer = ++closes == 2;
    SendMessageW(window_->Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(asked, closes);
    EXPECT_EQ(window_->Ended(), answer);
    EXPECT_EQ(window_->Running(), !answer);  // Yes: every port's job has ended and been joined
  });
  ASSERT_TRUE(window_->StartProduction());
  ASSERT_TRUE(PumpUntil([&] { return window_->Ended(); }));
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace qz::winapp
