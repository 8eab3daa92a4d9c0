// The station over virtual chips, in-process, on a manual clock: several ports at once, one
// faulty chip among good ones, continuous production across an erase and re-plug, and the
// inputs refused before any chip is touched.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <thread>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "dialog/messages.h"
#include "prodlog/production_log.h"
#include "image/sample_image.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"
#include "support/trigger_buffer.h"
#ifdef _WIN32
#include "support/child_process.h"
#endif

namespace qz::cli {
namespace {

class StationCommand : public testing::Test {
 protected:
  StationCommand() {
    test::WriteBytes(Image(), test::SampleBytes(SampleVariant::kValid));
  }
  std::string Image() const { return dir_.File("image.bin"); }

  test::RunResult Station(std::vector<std::string> args) {
    args.insert(args.begin(), {"station", Image(), "--log", dir_.File("production.sqlite3")});
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock);
    return test::RunCli(std::move(args));
  }

  static std::vector<nlohmann::json> Lines(const std::string& out, const std::string& type) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
      nlohmann::json parsed = nlohmann::json::parse(line);
      if (parsed["type"] == type) lines.push_back(parsed);
    }
    return lines;
  }

  test::ScratchDir dir_;
};

TEST_F(StationCommand, OneFaultyChipFailsAloneAmongFour) {
  const test::RunResult run = Station({"--simulate", "4", "--all-ports", "--factory",
                                       "--sim-fault", "sim-3:corrupt@0x40", "--sim-eeprom",
                                       dir_.File("chips")});
  EXPECT_EQ(run.exit, 1) << run.err;
  std::map<std::string, int> exits;
  for (const nlohmann::json& unit : Lines(run.out, "unit")) exits[unit["port"]] = unit["exit"];
  const std::map<std::string, int> expected{{"sim-1", 0}, {"sim-2", 0}, {"sim-3", 12}, {"sim-4", 0}};
  EXPECT_EQ(exits, expected);
  const std::vector<nlohmann::json> result = Lines(run.out, "result");
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0], (nlohmann::json{{"type", "result"}, {"exit", 1}, {"units", 4},
                                       {"passed", 3}, {"failed", 1}}));
  // the good chips hold the image; progress and messages name their port
  const std::vector<std::uint8_t> image = test::ReadBytes(Image());
  for (const char* port : {"sim-1", "sim-2", "sim-4"}) {
    const std::vector<std::uint8_t> eeprom = test::ReadBytes(dir_.File("chips") + "/" + port + ".bin");
    ASSERT_EQ(eeprom.size(), 32768u) << port;
    EXPECT_TRUE(std::equal(eeprom.begin() + 8, eeprom.end(), image.begin() + 8)) << port;
  }
  for (const nlohmann::json& progress : Lines(run.out, "progress")) {
    EXPECT_TRUE(progress.contains("port") && progress.contains("percent"));
  }
  // one finished row per unit, the faulty one with its outcome and the whole job's transfers
  prodlog::LogError error;
  const auto log = prodlog::ProductionLog::Open(dir_.File("production.sqlite3"), &error);
  ASSERT_NE(log, nullptr) << error.message;
  const auto rows = log->Rows({}, &error);
  ASSERT_TRUE(rows && rows->size() == 4u);
  for (const prodlog::UnitRecord& row : *rows) {
    EXPECT_TRUE(row.finished) << row.port;
    EXPECT_EQ(row.exit_code, expected.at(row.port)) << row.port;
    EXPECT_GT(row.transfers, 0x8000u / 8) << row.port;  // body writes alone are 4095
  }
}

TEST_F(StationCommand, SerialNumbersAreNeverHandedOutTwiceToWrittenUnits) {
  std::vector<std::string> written;
  const auto collect = [&](const test::RunResult& run) {
    for (const nlohmann::json& unit : Lines(run.out, "unit")) {
      const std::string serial = unit["serial"];
      EXPECT_TRUE(serial.starts_with("L7-")) << serial;
      if (unit["exit"] == 0) written.push_back(serial);
    }
  };
  // the unit on sim-2 fails before anything is written: its number may go to the next unit
  test::RunResult run = Station({"--simulate", "3", "--all-ports", "--serial-format", "L7-###",
                                 "--serial-start", "7", "--sim-fault", "sim-2:status=1"});
  EXPECT_EQ(run.exit, 1) << run.err;
  collect(run);
  run = Station({"--simulate", "3", "--all-ports", "--serial-format", "L7-###", "--serial-start", "7"});
  EXPECT_EQ(run.exit, 0) << run.err;
  collect(run);
  ASSERT_EQ(written.size(), 5u);
  std::sort(written.begin(), written.end());
  EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end());
  EXPECT_GE(written.front(), "L7-007");

  // a counter that outgrows its run stops before any unit
  run = Station({"--simulate", "1", "--all-ports", "--serial-format", "L7-#", "--serial-start", "10"});
  EXPECT_EQ(run.exit, 21) << run.err;
  EXPECT_TRUE(Lines(run.out, "unit").empty());
}

TEST_F(StationCommand, LoopCountsAnEraseAndReplugAsOneUnit) {
  // every chip that arrives runs its firmware: each unit is erased, re-plugged and written
  const test::RunResult run = Station({"--simulate", "2", "--ports", "sim-1,sim-2", "--loop",
                                       "--units", "5", "--sim-mode", "firmware"});
  EXPECT_EQ(run.exit, 0) << run.err;
  const std::vector<nlohmann::json> units = Lines(run.out, "unit");
  ASSERT_EQ(units.size(), 5u);
  for (const nlohmann::json& unit : units) EXPECT_EQ(unit["exit"], 0) << unit.dump();
  std::size_t replugs = 0;
  for (const nlohmann::json& message : Lines(run.out, "message")) {
    if (message["text"] == std::string(msg::kReplugDevice)) ++replugs;
  }
  EXPECT_EQ(replugs, 5u);
  EXPECT_EQ(Lines(run.out, "result").at(0)["units"], 5);
}

TEST_F(StationCommand, PowerReplugsErasedChipsAndFallsBackWhereAPortCannotBeSwitched) {
  // every chip runs its firmware; the one on sim-2 comes back running it after the power cycle
  const std::vector<std::string> common = {"--simulate", "3", "--all-ports", "--factory",
                                           "--sim-mode", "firmware", "--sim-fault",
                                           "sim-2:replug-firmware"};
  const auto by_port = [](const std::vector<nlohmann::json>& lines) {
    std::map<std::string, nlohmann::json> ports;
    for (const nlohmann::json& line : lines) ports[line["port"]] = line;
    return ports;
  };
  const auto replug_boxes = [&](const std::string& out) {
    std::size_t boxes = 0;
    for (const nlohmann::json& message : Lines(out, "message")) {
      if (message["text"] == std::string(msg::kReplugDevice)) ++boxes;
    }
    return boxes;
  };

  // power only: no operator, no false OK on sim-2
  std::vector<std::string> args = common;
  args.insert(args.end(), {"--replug", "power"});
  test::RunResult run = Station(args);
  EXPECT_EQ(run.exit, 1) << run.err;
  std::map<std::string, nlohmann::json> units = by_port(Lines(run.out, "unit"));
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units["sim-1"]["exit"], 0);
  EXPECT_EQ(units["sim-1"]["replug"], "power");
  EXPECT_EQ(units["sim-3"]["replug"], "power");
  EXPECT_EQ(units["sim-2"]["exit"], 27);
  EXPECT_NE(units["sim-2"]["message"].get<std::string>().find("running its firmware"),
            std::string::npos);
  EXPECT_EQ(replug_boxes(run.out), 0u);

  // auto: sim-2 asks the operator, says why once; nobody re-plugs it here, so it times out
  args = common;
  args.insert(args.end(), {"--replug", "auto"});
  run = Station(args);
  units = by_port(Lines(run.out, "unit"));
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units["sim-1"]["exit"], 0);
  EXPECT_EQ(units["sim-2"]["exit"], 25);
  EXPECT_EQ(units["sim-2"]["replug"], "operator");
  EXPECT_EQ(replug_boxes(run.out), 1u);
  std::size_t told = 0;
  for (const nlohmann::json& line : Lines(run.out, "power")) {
    if (line["text"].get<std::string>().find("the operator re-plugs") != std::string::npos) ++told;
  }
  EXPECT_EQ(told, 1u);
}

TEST_F(StationCommand, RefusesBadInputBeforeAnyChip) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* says;
  };
  const Case cases[] = {
      {"serial format without #", {"--simulate", "2", "--all-ports", "--serial-format", "L7"}, 64, "--serial-format"},
      {"port named twice", {"--simulate", "2", "--ports", "sim-1,sim-1"}, 64, "named twice"},
      {"no port given", {"--simulate", "2"}, 64, "--ports"},
      {"absent port", {"--simulate", "2", "--ports", "sim-1,sim-5"}, 22, "no chip on port sim-5"},
      {"override rejected", {"--simulate", "2", "--all-ports", "--manufacturer", std::string(33, 'M')}, 21, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::RunResult run = Station(c.args);
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_TRUE(Lines(run.out, "unit").empty());
  }
  test::WriteBytes(Image(), std::vector<std::uint8_t>(100, 0x5A));  // no image at all
  EXPECT_EQ(Station({"--simulate", "2", "--all-ports"}).exit, 20);
}

TEST_F(StationCommand, AnInterruptedLoopSaysWhichSignalStoppedIt) {
  const std::vector<std::string> args = {"qz670x-mp-cli", "station", Image(), "--log",
                                         dir_.File("production.sqlite3"), "--simulate", "2",
                                         "--all-ports", "--loop", "--json"};
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  test::TriggerBuffer watched("\"type\":\"unit\"", SIGTERM);
  std::ostream out(&watched);
  std::ostringstream err;
  ManualClock clock;
  int exit = -1;
  {
    ScopedDeviceSessionHook hook(clock);
    exit = qz::cli::Run(static_cast<int>(argv.size()), argv.data(), out, err);
  }
  // the running units finished and passed; no unit started after the signal
  EXPECT_EQ(exit, 0) << err.str();
  const std::string& text = watched.Text();
  const std::size_t problem =
      text.find("interrupted by SIGTERM: running jobs finish, no unit starts");
  const std::size_t interrupted =
      text.find("{\"signal\":15,\"stopped\":\"running jobs finish\",\"type\":\"interrupted\"}\n{\"exit\":0,");
  EXPECT_NE(problem, std::string::npos) << text;
  EXPECT_NE(interrupted, std::string::npos) << text;
  EXPECT_LT(problem, interrupted);
}

#ifdef _WIN32
// The process killed below: a write into the log its argument names.
TEST_F(StationCommand, ChildWritesUntilKilled) {
  const std::string log_path = test::ChildArgument();
  if (log_path.empty()) GTEST_SKIP() << "run by AJobKilledMidwayLeavesItsRowUnfinished";
  // real time: the factory job runs for many seconds, long enough to be killed in it
  (void)test::RunCli({"write", Image(), "--factory", "--simulate", "--log", log_path});
}
#endif

TEST_F(StationCommand, AJobKilledMidwayLeavesItsRowUnfinished) {
  const std::string log_path = dir_.File("killed.sqlite3");
#ifdef _WIN32
  test::ChildTest child("StationCommand.ChildWritesUntilKilled", log_path);
  ASSERT_TRUE(child.Started());
#else
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // real time: the factory job runs for many seconds, long enough to be killed in it
    (void)test::RunCli({"write", Image(), "--factory", "--simulate", "--log", log_path});
    _exit(0);
  }
#endif
  // kill it as soon as its row is there and the job has begun
  std::optional<std::vector<prodlog::UnitRecord>> rows;
  for (int attempt = 0; attempt < 500; ++attempt) {
    prodlog::LogError error;
    prodlog::LogOptions read_only;
    read_only.read_only = true;
    if (const auto log = prodlog::ProductionLog::Open(log_path, &error, read_only)) {
      rows = log->Rows({}, &error);
      if (rows && !rows->empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
#ifdef _WIN32
  child.Kill();
  EXPECT_EQ(child.Wait(), 137);
#else
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
#endif

  prodlog::LogError error;
  const auto log = prodlog::ProductionLog::Open(log_path, &error);
  ASSERT_NE(log, nullptr) << error.message;
  rows = log->Rows({}, &error);
  ASSERT_TRUE(rows && rows->size() == 1u);
  EXPECT_FALSE(rows->front().finished);
  EXPECT_TRUE(rows->front().ended.empty());
  EXPECT_EQ(rows->front().mode, "factory");
}

}  // namespace
}  // namespace qz::cli
