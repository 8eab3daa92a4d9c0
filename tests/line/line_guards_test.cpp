// The line database guards its own serial numbers: what a station's login may send it, the
// upgrade of a database made before the guards, a site's ranges, a journal met with another line.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "image/sample_image.h"
#include "line/line_database_fixture.h"
#include "prodlog/postgres_internal.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::prodlog {
namespace {

class LineGuards : public line_test::LineDatabase {
 protected:
  // Everything a number's state is made of, to compare before and after.
  std::string Numbers() const {
    return Scalar(
        "SELECT concat_ws(' | ', (SELECT string_agg(format || '=' || next, ',' ORDER BY format)"
        " FROM qz670x.serial_counters), (SELECT string_agg(number || holder, ',' ORDER BY"
        " number) FROM qz670x.serial_leases), (SELECT string_agg(serial, ',' ORDER BY serial)"
        " FROM qz670x.serials_held), (SELECT string_agg(number::text, ',') FROM"
        " qz670x.serials_released), (SELECT count(*) FROM qz670x.units))");
  }
};

TEST_F(LineGuards, AStationLoginWritesNoNumberItselfAndTheLineStaysUnique) {
  ASSERT_TRUE(OpenLog(url_));
  Roles();
  auto b = OpenLog(Url("station_b"));  // holds L7-0001..L7-0016 under a holder of its own
  LogError error;
  const auto b_unit = b ? b->BeginUnit(Start("b"), &error) : std::nullopt;
  ASSERT_TRUE(b_unit) << error.message;
  const std::string b_holder =
      "'" + Scalar("SELECT holder FROM qz670x.lease_holders WHERE login = 'station_b'") + "'";
  const std::string unit_start = "SELECT qz670x.unit_start('u', now(), 'a', 'p', 'i', 's', "
                                 "'factory', 1, '{}', 'L7-####', 2, '', '', '', '', ";
  const std::string before = Numbers();
  const std::pair<const char*, std::string> kTries[] = {
      {"counter set back", "UPDATE qz670x.serial_counters SET next = 1"},
      {"held numbers freed", "DELETE FROM qz670x.serials_held"},
      {"leases dropped", "DELETE FROM qz670x.serial_leases"},
      {"a number planted as released", "INSERT INTO qz670x.serials_released VALUES('L7-####', 9)"},
      {"a unit on a number never leased",
       "INSERT INTO qz670x.units(unit_uid, started, station, port, image_path, image_sha256, mode,"
       " write_length, overrides, serial) VALUES('u', now(), 'a', 'p', 'i', 's', 'm', 1, '{}',"
       " 'L7-0002')"},
      {"a unit through the function on a number never leased", unit_start + "'holder-a', NULL)"},
      {"a unit on another station's number", unit_start + b_holder + ", NULL)"},
      {"a lease for another station's holder",
       "SELECT qz670x.lease('L7-####', 1, 4, 'a', " + b_holder + ")"},
      {"another station's numbers returned", "SELECT qz670x.lease_return(" + b_holder + ")"},
      {"a negative count", "SELECT qz670x.lease('L7-####', 1, -4, 'a', 'holder-a')"},
      {"the site code", "SELECT qz670x.set_site('XX')"},
  };
  for (const auto& [what, sql] : kTries) {
    const pq::Result result = As("station_a", sql.c_str());
    EXPECT_FALSE(result.Ok()) << what;
    EXPECT_FALSE(result.Message().empty()) << what;
  }
  EXPECT_EQ(Numbers(), before);

  // a station started afterwards programs on numbers of its own
  const test::ScratchDir dir;
  test::WriteBytes(dir.File("image.bin"), test::SampleBytes(SampleVariant::kValid));
  ManualClock clock;
  ScopedDeviceSessionHook hook(clock);
  const test::RunResult station = test::RunCli(
      {"station", dir.File("image.bin"), "--log", Url("station_a"), "--journal",
       dir.File("journal"), "--simulate", "2", "--all-ports", "--loop", "--units", "4",
       "--serial-format", "L7-####", "--json"});
  ASSERT_EQ(station.exit, 0) << station.err;
  ASSERT_TRUE(b->CompleteUnit(b_unit->unit_id, End(true), &error)) << error.message;
  std::set<std::string> kept;
  for (const UnitRecord& row : Rows()) EXPECT_TRUE(kept.insert(row.serial).second) << row.serial;
  EXPECT_EQ(kept.size(), 5u);
}

TEST_F(LineGuards, AnOlderDatabaseIsUpgradedByItsOwnerKeepingRowsAndLeases) {
  // a database as the version before the guards left it, its station role writing numbers
  std::string v2 =
      "CREATE SCHEMA qz670x; CREATE TABLE qz670x.schema_version(version integer NOT NULL);"
      "INSERT INTO qz670x.schema_version VALUES(2);";
  v2 += postgres::Migrations()[0];
  v2 += postgres::Migrations()[1];
  v2 += "INSERT INTO qz670x.units(unit_uid, started, ended, station, port, image_path,"
        " image_sha256, mode, write_length, overrides, serial, serial_format, serial_number,"
        " exit_code) VALUES('u-1', now(), now(), 'old', 'p', 'i', 's', 'factory', 1, '{}',"
        " 'L7-0001', 'L7-####', 1, 0);"
        "INSERT INTO qz670x.serials_held SELECT serial, id FROM qz670x.units;"
        "INSERT INTO qz670x.serial_counters VALUES('L7-####', 9);"
        "INSERT INTO qz670x.serial_leases(format, number, station, holder)"
        " SELECT 'L7-####', n, 'old', 'holder-old' FROM generate_series(2, 8) n;"
        "GRANT USAGE ON SCHEMA qz670x TO qz670x_station;"
        "GRANT SELECT ON qz670x.schema_version, qz670x.units TO qz670x_station;"
        "GRANT SELECT, INSERT, UPDATE ON qz670x.serial_counters TO qz670x_station;";
  Logins();
  const pq::Result made = As("postgres", v2.c_str());
  ASSERT_TRUE(made.Ok()) << made.Error();
  ASSERT_TRUE(As("station_a", "UPDATE qz670x.serial_counters SET next = 9").Ok());
  const std::string before = Numbers();

  // a reader (`log`, the dashboard) reads it as it is, before its owner upgrades it
  const auto read = test::RunCli({"log", "--log", url_, "--json"});
  EXPECT_EQ(read.exit, 0) << read.err;
  EXPECT_NE(read.out.find("\"serial_source\":\"counter\""), std::string::npos) << read.out;
  {  // ... with no station reports yet, not an error
    LogOptions reading;
    reading.read_only = true;
    LogError error;
    auto reader = ProductionLog::Open(url_, &error, reading);
    ASSERT_TRUE(reader) << error.message;
    const auto states = reader->StationStates(&error);
    ASSERT_TRUE(states) << error.message;
    EXPECT_TRUE(states->empty());
  }

  ASSERT_EQ(test::RunCli({"log", "--log", url_, "--upgrade-schema"}).exit, 0);
  EXPECT_EQ(Scalar("SELECT max(version) FROM qz670x.schema_version"),
            std::to_string(postgres::Migrations().size()));
  EXPECT_EQ(Numbers(), before);
  EXPECT_FALSE(As("station_a", "UPDATE qz670x.serial_counters SET next = 1").Ok());
  // the old holder's leases belong to the first login that uses them, and go back to the pool
  ASSERT_TRUE(As("station_a", "SELECT qz670x.lease_return('holder-old')").Ok());
  EXPECT_FALSE(As("station_b", "SELECT qz670x.lease_return('holder-old')").Ok());
  auto log = OpenLog(Url("station_a"));
  LogError error;
  const auto unit = log ? log->BeginUnit(Start("a"), &error) : std::nullopt;
  ASSERT_TRUE(unit) << error.message;
  EXPECT_EQ(unit->serial, "L7-0002");
}

// A station's report reaches the line through its journal's pusher, with the journal's backlog
// and last push, and the dashboard's login reads it; another login cannot write that station's
// row, neither through the line's function nor in the table.
TEST_F(LineGuards, AStationReportsThroughItsJournalAndOnlyItsOwnRow) {
  ASSERT_TRUE(OpenLog(url_));
  Roles();
  StationState state;
  state.station = "a";
  state.host = "pc-a";
  state.version = "1.0.0";
  state.image_path = "/images/fw.bin";
  state.ports = {{"sim-1", "writing", 5, "L7-0001", 30}, {"sim-2", "idle", 0, "", -1}};
  state.reported = "2026-12-09T08:00:00.000Z";
  LogError error;
  {
    auto a = ProductionLog::Open(Url("station_a"), &error, Journaled());
    ASSERT_TRUE(a) << error.message;
    ASSERT_TRUE(a->ReportStation(state, &error)) << error.message;
    EXPECT_TRUE(a->Flush());
  }
  LogOptions reading;
  reading.read_only = true;
  auto dashboard = ProductionLog::Open(Url("dashboard"), &error, reading);
  ASSERT_TRUE(dashboard) << error.message;
  auto states = dashboard->StationStates(&error);
  ASSERT_TRUE(states) << error.message;
  ASSERT_EQ(states->size(), 1u);
  EXPECT_EQ((*states)[0].host, "pc-a");
  EXPECT_EQ((*states)[0].reported, state.reported);
  EXPECT_EQ((*states)[0].backlog, 0);
  EXPECT_FALSE((*states)[0].last_push.empty());
  ASSERT_EQ((*states)[0].ports.size(), 2u);
  EXPECT_EQ((*states)[0].ports[0].serial, "L7-0001");
  EXPECT_EQ((*states)[0].ports[0].percent, 30);

  auto b = OpenLog(Url("station_b"));
  ASSERT_TRUE(b);
  state.host = "pc-b";
  EXPECT_FALSE(b->ReportStation(state, &error));
  EXPECT_NE(error.message.find("another login"), std::string::npos) << error.message;
  EXPECT_FALSE(As("station_b", "UPDATE qz670x.station_state SET host = 'pc-b'").Ok());
  states = dashboard->StationStates(&error);
  ASSERT_TRUE(states && states->size() == 1u) << error.message;
  EXPECT_EQ((*states)[0].host, "pc-a");
}

TEST_F(LineGuards, ASiteLeasesOnlyInsideItsRangeAndStopsWhenItIsUsedUp) {
  ASSERT_TRUE(OpenLog(url_));
  ASSERT_TRUE(As("postgres", "SELECT qz670x.set_site('SZ')").Ok());
  EXPECT_EQ(As("postgres", "SELECT qz670x.set_site('PN')").Message(),
            "this line's site code is set already (SZ)");
  ASSERT_TRUE(As("postgres", "INSERT INTO qz670x.site_ranges VALUES('L7-####', 100, 104)").Ok());

  LogOptions options;
  options.serial_block = 4;
  LogError error;
  auto log = ProductionLog::Open(url_, &error, options);
  ASSERT_TRUE(log) << error.message;
  for (int i = 100; i <= 104; ++i) {
    const auto unit = log->BeginUnit(Start("sz"), &error);
    ASSERT_TRUE(unit) << error.message;
    EXPECT_EQ(unit->serial, "L7-0" + std::to_string(i));
  }
  EXPECT_FALSE(log->BeginUnit(Start("sz"), &error));
  EXPECT_EQ(error.kind, LogError::Kind::kSerialExhausted);
  EXPECT_NE(error.message.find("(100 to 104) is used up"), std::string::npos) << error.message;
  UnitStart other = Start("sz");
  other.serial_format = SerialFormat::Parse("Q-####", nullptr);
  EXPECT_FALSE(log->BeginUnit(other, &error));
  EXPECT_NE(error.message.find("site SZ has no range"), std::string::npos) << error.message;
  EXPECT_EQ(Scalar("SELECT string_agg(DISTINCT site, ',') FROM qz670x.units"), "SZ");
  // the counter only moves forward, for the owner too
  EXPECT_FALSE(As("postgres", "UPDATE qz670x.serial_counters SET next = 1").Ok());
}

TEST_F(LineGuards, AJournalMetWithAnotherLineIsRefused) {
  const LogOptions options = Journaled();
  LogError error;
  ASSERT_TRUE(ProductionLog::Open(url_, &error, options)) << error.message;
  const std::string other = database_ + "_other";
  ASSERT_TRUE(Admin(("CREATE DATABASE " + other).c_str()));
  EXPECT_FALSE(ProductionLog::Open(
      "postgresql://postgres@127.0.0.1:" + port_ + "/" + other, &error, options));
  EXPECT_NE(error.message.find("Journal \"" + options.journal +
                               "\" belongs to another line database"),
            std::string::npos)
      << error.message;
  ASSERT_TRUE(Admin(("DROP DATABASE " + other + " WITH (FORCE)").c_str()));
  // its own line still takes it
  EXPECT_TRUE(ProductionLog::Open(url_, &error, options)) << error.message;
}

}  // namespace
}  // namespace qz::prodlog
