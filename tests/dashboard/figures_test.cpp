// The dashboard's figures from unit rows and stations' reports: yields by serial number, the
// failure Pareto, the line's tiles, the alerts and their file, and the rows kept current by
// polling a store.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dashboard/figures.h"
#include "dashboard/row_source.h"
#include "prodlog/log_summary.h"
#include "support/sample_images.h"

namespace qz::dashboard {
namespace {

using prodlog::UnitRecord;

constexpr double kNoon = 1765281600.0;  // 2025-12-09T12:00:00Z

// A finished unit's row at `minute` past noon.
UnitRecord Row(std::int64_t id, const std::string& station, const std::string& port,
               const std::string& serial, int exit_code, int minute = 0) {
  UnitRecord row;
  row.unit_id = id;
  row.station = station;
  row.port = port;
  row.serial = serial;
  row.started = prodlog::UtcIso8601(kNoon + minute * 60.0);
  row.ended = prodlog::UtcIso8601(kNoon + minute * 60.0 + 30.0);
  row.finished = true;
  row.exit_code = exit_code;
  row.message = exit_code == 0 ? "Write to EEPROM OK!"
                               : "Write to EEPROM Fail!  Try Again!(" +
                                     std::to_string(exit_code) + ")";
  row.duration_ms = 30000;
  return row;
}

std::vector<const UnitRecord*> Pointers(const std::vector<UnitRecord>& rows) {
  std::vector<const UnitRecord*> pointers;
  for (const UnitRecord& row : rows) pointers.push_back(&row);
  return pointers;
}

TEST(DashboardFigures, FirstPassAndFinalYieldCountSerialNumbers) {
  std::vector<UnitRecord> rows = {
      Row(1, "a", "1", "S-1", 0),     // passed at once
      Row(2, "a", "1", "S-2", 3),     // failed, then passed: final only
      Row(3, "a", "2", "S-2", 0),
      Row(4, "a", "2", "S-3", 5),     // failed twice: neither
      Row(5, "a", "2", "S-3", 5),
      Row(6, "a", "2", "", 0),        // no serial number: a unit of its own
  };
  UnitRecord running = Row(7, "a", "1", "S-4", 0);
  running.finished = false;  // still running: not counted yet
  rows.push_back(running);
  const YieldFigures figures = YieldOf(Pointers(rows));
  EXPECT_EQ(figures.serials, 4u);
  EXPECT_EQ(figures.attempts, 6u);
  EXPECT_EQ(figures.first_pass, 2u);
  EXPECT_EQ(figures.final_pass, 3u);
  EXPECT_DOUBLE_EQ(*figures.first_pass_percent, 50.0);
  EXPECT_DOUBLE_EQ(*figures.final_percent, 75.0);
  EXPECT_FALSE(YieldOf({}).first_pass_percent.has_value());

  // grouped by shift: a unit before the day's first shift belongs to the night before
  std::vector<UnitRecord> night = {Row(1, "a", "1", "", 0, -8 * 60)};  // 04:00
  const nlohmann::json by_shift =
      YieldJson(Snapshot{night, "log", "", kNoon}, AlertSettings{}, YieldBy::kShift);
  EXPECT_EQ(by_shift["groups"][0]["key"], "2025-12-08 shift 22:00");
  EXPECT_FALSE(ParseYieldBy("week").has_value());
}

TEST(DashboardFigures, ParetoAgreesWithTheLogSummary) {
  const std::vector<UnitRecord> rows = {
      Row(1, "a", "1", "", 2), Row(2, "a", "1", "", 7), Row(3, "a", "2", "", 7),
      Row(4, "b", "1", "", 7), Row(5, "b", "1", "", 2), Row(6, "b", "1", "", 0),
      Row(7, "b", "2", "", 9),
  };
  const std::vector<ParetoBar> all = FailurePareto(rows, "", "");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].exit_code, 7);  // most units first, ties by exit code
  EXPECT_EQ(all[1].exit_code, 2);
  EXPECT_EQ(all[2].exit_code, 9);
  const prodlog::Summary summary = prodlog::Summarize(Pointers(rows));
  for (const ParetoBar& bar : all) {
    EXPECT_EQ(bar.units, summary.failed_by_exit.at(bar.exit_code).first);
    EXPECT_EQ(bar.message, summary.failed_by_exit.at(bar.exit_code).second);
  }
  const std::vector<ParetoBar> one_port = FailurePareto(rows, "b", "1");
  ASSERT_EQ(one_port.size(), 2u);
  EXPECT_EQ(one_port[0].units + one_port[1].units, 2u);

  // a bar's units are listed by the unit page
  const nlohmann::json units = UnitJson(Snapshot{rows, "log", "", kNoon}, {"", 7, "a", ""});
  EXPECT_EQ(units["attempts"].size(), 2u);
}

TEST(DashboardFigures, UnitSearchFindsEveryAttemptBySerialOrUnitId) {
  const std::vector<UnitRecord> rows = {Row(1, "a", "1", "S-9", 3), Row(2, "b", "2", "S-8", 0),
                                        Row(3, "b", "1", "S-9", 0)};
  const Snapshot snapshot{rows, "log", "", kNoon};
  for (const std::string text : {"S-9", "3"}) {
    SCOPED_TRACE(text);
    const nlohmann::json found = UnitJson(snapshot, {text, {}, {}, {}});
    ASSERT_EQ(found["attempts"].size(), 2u);
    EXPECT_EQ(found["attempts"][0]["id"], 1);
    EXPECT_EQ(found["attempts"][1]["station"], "b");
  }
  EXPECT_TRUE(UnitJson(snapshot, {"S-7", {}, {}, {}})["attempts"].empty());
}

TEST(DashboardFigures, AlertsForYieldSilenceAndHungUnits) {
  AlertSettings settings;
  settings.yield_below_percent = 80.0;
  settings.yield_last_units = 4;
  settings.station_silent_s = 600.0;
  settings.unit_unfinished_s = 300.0;
  std::vector<UnitRecord> rows = {
      Row(1, "good", "1", "", 0, 50), Row(2, "good", "1", "", 0, 51),
      Row(3, "good", "1", "", 3, 52), Row(4, "good", "1", "", 0, 53),  // 75 % over 4 on port 1
      Row(5, "good", "1", "", 0, 54),                                   // 75 %: 3 of the last 4
      Row(6, "quiet", "1", "", 0, 0),                                   // 60 min before now
  };
  UnitRecord hung = Row(7, "good", "2", "", 0, 48);
  hung.finished = false;  // running for 12 min at now
  rows.push_back(hung);
  const Snapshot snapshot{rows, "log", "", kNoon + 60 * 60.0};
  std::vector<std::string> seen;
  for (const Alert& alert : Alerts(snapshot, settings)) {
    seen.push_back(alert.kind + " " + alert.subject);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"yield good", "yield good 1", "unfinished good 2",
                                            "silent quiet"}));
  // fewer units than the window: no yield alert yet
  settings.yield_last_units = 10;
  for (const Alert& alert : Alerts(snapshot, settings)) EXPECT_NE(alert.kind, "yield");
}

// A station's report decides its tile: online while it reports, offline (and an alert) once it
// is silent, stopped once it said it ended; its ports show what it reported, its backlog an
// alert over the limit. Rows that came out of order are taken by their start.
TEST(DashboardFigures, StationReportsMakeTheTilesAndTheirAlerts) {
  const double now = kNoon + 3600.0;
  const std::vector<UnitRecord> rows = {Row(2, "a", "1", "S-2", 3, 50),
                                        Row(1, "a", "1", "S-1", 0, 40)};
  const auto report = [&](const std::string& station, double ago, bool ended) {
    prodlog::StationState state;
    state.station = station;
    state.reported = prodlog::UtcIso8601(now - ago);
    state.ended = ended;
    return state;
  };
  std::vector<prodlog::StationState> states = {report("a", 5, false), report("b", 700, false),
                                               report("c", 5000, true)};
  states[0].ports = {{"1", "writing", 3, "S-3", 40}};
  states[0].backlog = 30;
  AlertSettings settings;  // silent after 600 s, backlog over 20
  const Snapshot snapshot{rows, "log", "", now, states};

  const nlohmann::json line = LineJson(snapshot, settings);
  ASSERT_EQ(line["stations"].size(), 3u);
  const nlohmann::json& a = line["stations"][0];
  EXPECT_EQ(a["state"], "online");
  EXPECT_EQ(a["journal_backlog"], 30);
  ASSERT_EQ(a["ports"].size(), 1u);
  EXPECT_EQ(a["ports"][0]["activity"], "writing");
  EXPECT_EQ(a["ports"][0]["percent"], 40);
  EXPECT_EQ(a["ports"][0]["last"]["serial"], "S-2");  // the later start, though read first
  EXPECT_EQ(line["stations"][1]["state"], "offline");
  EXPECT_EQ(line["stations"][2]["state"], "stopped");

  std::vector<std::string> seen;
  for (const Alert& alert : Alerts(snapshot, settings)) {
    seen.push_back(alert.kind + " " + alert.subject);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"backlog a", "silent b"}));
  EXPECT_EQ(SilentStations(states, now, settings), (std::vector<std::string>{"b"}));

  const std::string metrics = MetricsText(snapshot);
  EXPECT_NE(metrics.find("qz670x_journal_backlog{station=\"a\"} 30\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("qz670x_station_seconds_since_report{station=\"b\"} 700\n"),
            std::string::npos);
}

TEST(DashboardFigures, AlertFileSetsLimitsAndRefusesUnknownKeys) {
  const test::ScratchDir dir;
  const auto load = [&](const std::string& text, std::string* error) {
    std::ofstream(dir.File("alerts.toml")) << text;
    return LoadAlertSettings(dir.File("alerts.toml"), error);
  };
  std::string error;
  const std::optional<AlertSettings> settings =
      load("yield-below-percent = 95.5\nyield-last-units = 20\nstation-silent-minutes = 2\n"
           "unit-unfinished-minutes = 1.5\njournal-backlog-over = 7\n"
           "shift-starts = [\"07:00\", \"19:00\"]\n",
           &error);
  ASSERT_TRUE(settings) << error;
  EXPECT_DOUBLE_EQ(settings->yield_below_percent, 95.5);
  EXPECT_EQ(settings->yield_last_units, 20);
  EXPECT_DOUBLE_EQ(settings->station_silent_s, 120.0);
  EXPECT_DOUBLE_EQ(settings->unit_unfinished_s, 90.0);
  EXPECT_EQ(settings->journal_backlog_over, 7);
  EXPECT_EQ(settings->shift_starts_min, (std::vector<int>{420, 1140}));
  for (const std::string bad : {"yield-below = 5\n", "yield-below-percent = 120\n",
                                "shift-starts = [\"25:00\"]\n", "yield-last-units = 0\n"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(load(bad, &error));
    EXPECT_NE(error.find("alerts.toml"), std::string::npos);
  }
}

TEST(DashboardRows, PollsSeeNewUnitsTheirEndAndAStoreThatComesBack) {
  const test::ScratchDir dir;
  const std::string path = dir.File("line.sqlite3");
  prodlog::LogError error;
  std::unique_ptr<prodlog::ProductionLog> writer = prodlog::ProductionLog::Open(path, &error);
  ASSERT_TRUE(writer) << error.message;
  prodlog::UnitStart start;
  start.station = "a";
  start.port = "1";
  ASSERT_TRUE(writer->BeginUnit(start, &error));

  // the store out of reach at first: said so, and read once it is back
  bool reachable = false;
  prodlog::LogOptions read_only;
  read_only.read_only = true;
  RowSource rows(
      [&](prodlog::LogError* open_error) -> std::unique_ptr<prodlog::ProductionLog> {
        if (!reachable) {
          open_error->message = "the line database cannot be reached";
          return nullptr;
        }
        return prodlog::ProductionLog::Open(path, open_error, read_only);
      },
      nullptr);
  EXPECT_TRUE(rows.Poll(false));
  EXPECT_EQ(rows.Error(), "the line database cannot be reached");
  EXPECT_FALSE(rows.Poll(false));  // still out of reach: nothing new to tell
  reachable = true;
  EXPECT_TRUE(rows.Poll(false));
  EXPECT_EQ(rows.Error(), "");
  ASSERT_EQ(rows.Rows().size(), 1u);
  EXPECT_FALSE(rows.Rows()[0].finished);
  EXPECT_FALSE(rows.Poll(false));  // nothing changed

  // the running unit ends, another begins: an incremental poll sees both
  prodlog::UnitEnd end;
  end.message = "Write to EEPROM OK!";
  ASSERT_TRUE(writer->CompleteUnit(rows.Rows()[0].unit_id, end, &error));
  ASSERT_TRUE(writer->BeginUnit(start, &error));
  EXPECT_TRUE(rows.Poll(false));
  ASSERT_EQ(rows.Rows().size(), 2u);
  EXPECT_TRUE(rows.Rows()[0].finished);
  EXPECT_FALSE(rows.Poll(true));  // a full read finds the same

  // a station's report is read with the rows, and only a new one is a change
  prodlog::StationState state;
  state.station = "a";
  state.reported = "2026-12-09T08:00:00.000Z";
  ASSERT_TRUE(writer->ReportStation(state, &error)) << error.message;
  EXPECT_TRUE(rows.Poll(false));
  ASSERT_EQ(rows.States().size(), 1u);
  EXPECT_FALSE(rows.Poll(false));
}

TEST(DashboardFigures, MetricsEscapeLabelsAndCountOutcomes) {
  std::vector<UnitRecord> rows = {Row(1, "st\"1\\", "1", "", 0), Row(2, "st\"1\\", "1", "", 4)};
  const std::string text = MetricsText(Snapshot{rows, "log", "", kNoon + 90.0});
  EXPECT_NE(text.find("qz670x_units_total{station=\"st\\\"1\\\\\",outcome=\"failed\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("qz670x_station_seconds_since_report{station=\"st\\\"1\\\\\"} 60\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("qz670x_store_up 1\n"), std::string::npos);
}

}  // namespace
}  // namespace qz::dashboard
