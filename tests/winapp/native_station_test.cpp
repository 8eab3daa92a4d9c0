// The native station window on four virtual chips, one of them faulty: its setup (the image
// check, the dialog's overrides, the serial numbers, the tiles before Start), what its tiles,
// totals and history show against what the log holds, and its closing rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "base/clock.h"
#include "devices/device_session.h"
#include "dialog/control_table.h"
#include "jobs/job_file.h"
#include "prodlog/production_log.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"

#include "winapp/pump_until.h"
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
    return winapp::PumpUntil(*window_, done, kRunTimeout);
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
      // the system's message, then what it means on the line
      EXPECT_EQ(tile.message,
                "Write to EEPROM Fail!  Try Again!(12)\na byte of the body read back differs "
                "from the image: the EEPROM is faulty or write-protected");
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

// A bad image is refused when chosen, with the system's messages, and nothing starts; a good one
// shows its firmware ID and Start follows.
TEST_F(NativeStationTest, ImageIsCheckedWhenChosen) {
  const std::string bad = dir_.File("short.bin");
  std::vector<std::uint8_t> bytes = test::SampleBytes();
  bytes.resize(1000);
  test::WriteBytes(bad, bytes);
  window_->SetImagePath(bad);
  EXPECT_EQ(window_->ImageReportText(),
            "File size error\nthe file has 1000 bytes, an image has 32784\nRead File Error!");
  EXPECT_FALSE(window_->StartEnabled());
  EXPECT_FALSE(window_->StartProduction());
  EXPECT_FALSE(window_->Running());

  window_->SetImagePath(image_);
  EXPECT_EQ(window_->ImageReportText().rfind("Firmware ID 5067\n", 0), 0U)
      << window_->ImageReportText();
  EXPECT_TRUE(window_->StartEnabled());
}

// Before Start the tiles show where the chips sit and follow them off the bus.
TEST_F(NativeStationTest, IdleTilesBeforeStart) {
  EXPECT_EQ(window_->TilePorts(), (std::vector<std::string>{"sim-1", "sim-2", "sim-3", "sim-4"}));
  EXPECT_EQ(window_->Tile("sim-2")->phase, NativeTile::Phase::kReady);
  session_->ChipOnPort("sim-4")->SetPresent(false);
  ASSERT_TRUE(PumpUntil([&] { return window_->TilePorts().size() == 3; }));
  session_->ChipOnPort("sim-4")->SetPresent(true);
}

// The dialog's overrides as the operator sets them in the window, and the serial-number format:
// every unit's row carries the override and its own number, the numbers consecutive from the
// next number given; an override the dialog refuses keeps the station from starting.
TEST_F(NativeStationTest, OverridesAndSerialNumbersReachEveryUnit) {
  window_->ClickSetupControl(ctl::kUpdateEnable);
  window_->ClickSetupControl(ctl::kHsBcdBox);
  SetDlgItemTextW(window_->Window(), ctl::kHsBcdEdit, L"12345");
  EXPECT_FALSE(window_->StartProduction());
  EXPECT_EQ(window_->SetupMessagesText(), "Invalid High Speed Device's bcdDevice..");

  window_->ClickSetupControl(ctl::kHsBcdBox);
  window_->ClickSetupControl(ctl::kProductBox);
  SetDlgItemTextW(window_->Window(), ctl::kProductEdit, L"Line 7 \u00e9");
  window_->SetSerialFields("L7-####", "41");
  ASSERT_TRUE(window_->StartProduction()) << window_->StatusText();
  EXPECT_EQ(window_->SetupMessagesText(), "");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window_->Window(), ctl::kProductEdit)));
  ASSERT_TRUE(PumpUntil([&] { return window_->Totals().units >= 6; }));
  window_->StopProduction();
  ASSERT_TRUE(PumpUntil([&] { return !window_->Running(); }));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window_->Window(), ctl::kProductEdit)));

  std::vector<std::string> serials;
  for (const prodlog::UnitRecord& row : LogRows()) {
    serials.push_back(row.serial);
    EXPECT_EQ(row.overrides_json,
              "{\"product\":\"Line 7 \u00e9\",\"serial\":\"" + row.serial + "\"}");
  }
  std::sort(serials.begin(), serials.end());
  ASSERT_GE(serials.size(), 6U);
  for (std::size_t i = 0; i < serials.size(); ++i) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "L7-%04zu", 41 + i);
    EXPECT_EQ(serials[i], expected);
  }
}

// A production job decides the choices: its overrides and serial numbers reach the units, its
// stamp is in every row, and the dialog's controls stay fixed.
TEST_F(NativeStationTest, LoadedJobRuns) {
  jobs::Job job;
  job.name = "widget";
  job.revision = "3";
  job.image_name = "image.bin";
  job.image = test::SampleBytes();
  std::string error;
  job.image_sha256 = prodlog::FileSha256Hex(image_, &error);
  job.firmware_id = "5067";
  job.overrides = {{"product", "Widget"}};
  job.serial = jobs::JobSerial{"W-####", 7, "", ""};
  const std::string path = dir_.File("widget.qzjob");
  test::WriteBytes(path, [&] {
    const std::string text = jobs::FormatJob(job);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }());
  ASSERT_TRUE(window_->LoadJob(path)) << window_->SetupMessagesText();
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window_->Window(), ctl::kProductEdit)));
  ASSERT_TRUE(window_->StartProduction()) << window_->StatusText();
  ASSERT_TRUE(PumpUntil([&] { return window_->Totals().units >= 2; }));
  window_->StopProduction();
  ASSERT_TRUE(PumpUntil([&] { return !window_->Running(); }));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window_->Window(), ctl::kProductEdit)));
  const std::vector<prodlog::UnitRecord> rows = LogRows();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front().serial, "W-0007");
  for (const prodlog::UnitRecord& row : rows) {
    EXPECT_EQ(row.job.name, "widget");
    EXPECT_EQ(row.overrides_json, "{\"product\":\"Widget\",\"serial\":\"" + row.serial + "\"}");
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
