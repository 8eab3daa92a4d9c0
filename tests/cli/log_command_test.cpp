// `log`: rows as JSON Lines and CSV, filters, the summary, and a log it cannot read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "prodlog/production_log.h"
#include "support/cli_runner.h"

namespace qz::cli {
namespace {

namespace fs = std::filesystem;
using qz::test::RunCli;

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

class LogCommand : public testing::Test {
 protected:
  void SetUp() override {
    const char* root = std::getenv("QZ_TEST_TMPDIR");
    dir_ = fs::path(root != nullptr ? root : testing::TempDir()) /
           ("log_command_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "production.sqlite3").string();

    // two passes and a failure on two ports, and a unit that never finished
    prodlog::LogError error;
    auto log = prodlog::ProductionLog::Open(path_, &error);
    ASSERT_TRUE(log) << error.message;
    const auto unit = [&](const char* started, const char* port, int exit_code,
                          std::int64_t duration_ms, bool finish) {
      prodlog::UnitStart start;
      start.started = started;
      start.station = "line-1";
      start.port = port;
      start.image_path = "/images/a,b.bin";
      start.image_sha256 = std::string(64, 'c');
      start.mode = "factory";
      start.write_length = 0x8000;
      start.serial_format = prodlog::SerialFormat::Parse("L7-###", nullptr);
      start.serial_start = 1;
      const auto begun = log->BeginUnit(start, &error);
      ASSERT_TRUE(begun) << error.message;
      if (!finish) return;
      prodlog::UnitEnd end;
      end.ended = started;
      end.exit_code = exit_code;
      end.message = exit_code == 0 ? "Write to EEPROM OK!" : "Write to EEPROM Fail!  Try Again!(7)";
      end.duration_ms = duration_ms;
      end.transfers = 9000;
      end.chip_status = 0x21;
      end.chip_identity = 0x6841;
      end.eeprom_touched = true;
      ASSERT_TRUE(log->CompleteUnit(begun->unit_id, end, &error)) << error.message;
    };
    unit("2026-03-01T08:00:00.000Z", "1-1", 0, 1200, true);
    unit("2026-03-01T08:01:00.000Z", "1-2", 7, 800, true);
    unit("2026-03-02T09:00:00.000Z", "1-1", 0, 1000, true);
    unit("2026-03-02T09:01:00.000Z", "1-2", 0, 0, false);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string path_;
};

TEST_F(LogCommand, JsonHasOneObjectPerRowAndUnfinishedRowsSaySo) {
  const auto result = RunCli({"log", "--log", path_, "--json"});
  ASSERT_EQ(result.exit, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 5u);  // four rows and the result
  EXPECT_EQ(lines[0]["station"], "line-1");
  EXPECT_EQ(lines[0]["port"], "1-1");
  EXPECT_EQ(lines[0]["serial"], "L7-001");
  EXPECT_EQ(lines[0]["image_sha256"], std::string(64, 'c'));
  EXPECT_EQ(lines[0]["mode"], "factory");
  EXPECT_EQ(lines[0]["exit"], 0);
  EXPECT_EQ(lines[0]["message"], "Write to EEPROM OK!");
  EXPECT_EQ(lines[0]["started"], "2026-03-01T08:00:00.000Z");
  EXPECT_EQ(lines[0]["ended"], "2026-03-01T08:00:00.000Z");
  EXPECT_EQ(lines[0]["duration_ms"], 1200);
  EXPECT_EQ(lines[0]["overrides"]["serial"], "L7-001");
  EXPECT_EQ(lines[1]["exit"], 7);
  // the numbered outcome explained beside the system's message; none for a pass
  EXPECT_NE(lines[1]["detail"].get<std::string>().find("write-protected"), std::string::npos);
  EXPECT_TRUE(lines[0]["detail"].is_null());
  EXPECT_EQ(lines[3]["state"], "unfinished");
  EXPECT_TRUE(lines[3]["exit"].is_null());
  EXPECT_TRUE(lines[3]["ended"].is_null());
  EXPECT_EQ(lines[4]["type"], "result");

  // filters
  const auto since = JsonLines(
      RunCli({"log", "--log", path_, "--json", "--since", "2026-03-02", "--port", "1-1"}).out);
  ASSERT_EQ(since.size(), 2u);
  EXPECT_EQ(since[0]["serial"], "L7-003");
}

TEST_F(LogCommand, CsvHasAHeaderAndQuotesFields) {
  const auto result = RunCli({"log", "--log", path_, "--csv"});
  ASSERT_EQ(result.exit, 0) << result.err;
  std::istringstream in(result.out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind("id,state,station,port,serial,", 0), 0u) << lines[0];
  EXPECT_NE(lines[1].find(",\"/images/a,b.bin\","), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(",\"{\"\"serial\"\":\"\"L7-001\"\"}\","), std::string::npos) << lines[1];
  EXPECT_NE(lines[4].find(",unfinished,"), std::string::npos) << lines[4];
  EXPECT_NE(lines[0].find(",job_key,serial_source,detail\r"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("write-protected"), std::string::npos) << lines[2];
}

TEST_F(LogCommand, SummaryCountsOutcomesYieldAndJobTimes) {
  const auto result = RunCli({"log", "--log", path_, "--summary", "--json"});
  ASSERT_EQ(result.exit, 0) << result.err;
  const auto summary = JsonLines(result.out).at(0);
  EXPECT_EQ(summary["units"], 4);
  EXPECT_EQ(summary["passed"], 2);
  EXPECT_EQ(summary["failed"], 1);
  EXPECT_EQ(summary["unfinished"], 1);
  EXPECT_EQ(summary["failed_by_exit"][0]["exit"], 7);
  EXPECT_EQ(summary["yield_percent"], 50.0);
  EXPECT_EQ(summary["mean_ms"], 1000);
  EXPECT_EQ(summary["p95_ms"], 1200);

  const auto text = RunCli({"log", "--log", path_, "--summary"});
  EXPECT_NE(text.out.find("yield:      50.0 %"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("mean 1000 ms, 95th percentile 1200 ms"), std::string::npos);
}

TEST_F(LogCommand, SummaryByPortAndHourWithUnitsPerHour) {
  const auto by_port = RunCli({"--json", "log", "--log", path_, "--summary", "--by", "port"});
  ASSERT_EQ(by_port.exit, 0) << by_port.err;
  std::map<std::string, nlohmann::json> groups;
  for (const auto& line : JsonLines(by_port.out)) {
    if (line["type"] == "summary") groups[line["port"]] = line;
  }
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups["1-1"]["by"], "port");
  EXPECT_EQ(groups["1-2"]["failed"], 1);
  const auto by_hour = RunCli({"log", "--log", path_, "--summary", "--by", "hour"});
  EXPECT_NE(by_hour.out.find("2026-03-01T08:00Z"), std::string::npos) << by_hour.out;
  EXPECT_EQ(RunCli({"log", "--log", path_, "--station", "line-2"}).out, "");
  EXPECT_EQ(RunCli({"log", "--log", path_, "--summary", "--by", "week"}).exit, 64);
  EXPECT_EQ(RunCli({"log", "--log", path_, "--by", "port"}).exit, 64);
}

// Units per hour count only the time a unit ran: the day between the two batches is no work,
// and a row whose end is its start (virtual time) counts its job time.
TEST_F(LogCommand, UnitsPerHourOverBusyTimeAndTheSummaryAsCsv) {
  const auto json = RunCli({"log", "--log", path_, "--summary", "--json"});
  ASSERT_EQ(json.exit, 0) << json.err;
  const auto summary = JsonLines(json.out).at(0);
  EXPECT_EQ(summary["units_per_hour"], 3600.0);  // 3 finished units in 3 s of jobs
  EXPECT_EQ(summary["busy_hours"], 0.001);
  const auto text = RunCli({"log", "--log", path_, "--summary"});
  EXPECT_NE(text.out.find("units/hour: 3600  (over 0.00 h with a unit running"), std::string::npos)
      << text.out;

  const auto csv = RunCli({"log", "--log", path_, "--summary", "--csv"});
  ASSERT_EQ(csv.exit, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "units,passed,failed,unfinished,yield_percent,mean_ms,p95_ms,units_per_hour,"
            "busy_hours\r\n4,2,1,1,50.0,1000,1200,3600,0.001\r\n");
  const auto by_port = RunCli({"log", "--log", path_, "--summary", "--by", "port", "--csv"});
  EXPECT_NE(by_port.out.find("port,units,"), std::string::npos) << by_port.out;
  EXPECT_NE(by_port.out.find("\r\n1-2,2,0,1,1,0.0,800,800,4500,0.000\r\n"), std::string::npos)
      << by_port.out;
}

#ifndef _WIN32
// Without --log, `log` reads the log the station configuration names, as `station` writes it.
TEST_F(LogCommand, ReadsTheStationConfigurationsLogByDefault) {
  const std::string config = (dir_ / "station.toml").string();
  std::ofstream(config) << "log = \"" << path_ << "\"\n";
  setenv("QZ670X_MP_STATION_CONFIG", config.c_str(), 1);
  const auto run = RunCli({"log", "--summary", "--json"});
  unsetenv("QZ670X_MP_STATION_CONFIG");
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(JsonLines(run.out).at(0)["units"], 4);
}
#endif

TEST_F(LogCommand, BadInputAndUnreadableLogs) {
  EXPECT_EQ(RunCli({"log", "--log", path_, "--since", "yesterday"}).exit, 64);
  EXPECT_EQ(RunCli({"log", "--log", path_, "--csv", "--json"}).exit, 64);
  const auto missing = RunCli({"log", "--log", (dir_ / "none.sqlite3").string()});
  EXPECT_EQ(missing.exit, 74);
  const std::string junk = (dir_ / "junk.sqlite3").string();
  std::ofstream(junk) << std::string(4096, 'j');
  const auto corrupt = RunCli({"log", "--log", junk});
  EXPECT_EQ(corrupt.exit, 74);
  EXPECT_NE(corrupt.err.find("not a production log or it is damaged"), std::string::npos)
      << corrupt.err;
}

}  // namespace
}  // namespace qz::cli
