// `station` with serial numbers from a list file or from the factory's program, on virtual
// chips in-process; the programs are small shell scripts in a scratch folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::cli {
namespace {

using test::RunCli;
using test::RunResult;


class StationSerials : public testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.File("image.bin");
    test::WriteBytes(image_, test::SampleBytes());
    log_ = dir_.File("log.sqlite3");
  }

  // `station IMAGE --simulate CHIPS --all-ports --json ARGS...` on the manual clock, with the
  // test's log unless ARGS name one.
  RunResult Station(int chips, std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--log") == args.end()) {
      args.insert(args.end(), {"--log", log_});
    }
    args.insert(args.begin(), {"station", image_, "--simulate", std::to_string(chips),
                               "--all-ports", "--json"});
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock, {});
    return RunCli(std::move(args));
  }

  std::vector<nlohmann::json> Rows() { return test::JsonLines(RunCli({"log", "--log", log_, "--json"}).out, "unit"); }

  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_.File(name);
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path;
  }

  test::ScratchDir dir_;
  std::string image_, log_;
};

TEST_F(StationSerials, AListIsUsedOnceAcrossRunsReleasedNumbersComeBackAndItsEndStops) {
  const std::string list = dir_.File("labels.txt");
  std::ofstream(list, std::ios::binary) << "\xEF\xBB\xBFQ-1\r\n\r\nQ-2\r\nQ-3\r\n";
  // sim-1 fails before its EEPROM is touched: its number goes back
  RunResult run = Station(2, {"--serial-list", list, "--sim-fault", "sim-1:status=4"});
  EXPECT_EQ(run.exit, 1) << run.err;
  run = Station(1, {"--serial-list", list});
  EXPECT_EQ(run.exit, 0) << run.err;
  run = Station(1, {"--serial-list", list});
  EXPECT_EQ(run.exit, 0) << run.err;
  run = Station(1, {"--serial-list", list});
  EXPECT_EQ(run.exit, 74);
  EXPECT_NE(run.out.find("the serial list \\\"labels.txt\\\" is used up"), std::string::npos)
      << run.out;

  std::vector<std::string> kept, released;
  for (const nlohmann::json& row : Rows()) {
    EXPECT_EQ(row["serial_source"], "list");
    (row["serial_released"].get<bool>() ? released : kept).push_back(row["serial"]);
  }
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"Q-1", "Q-2", "Q-3"}));
  ASSERT_EQ(released.size(), 1u);
}

TEST_F(StationSerials, ListAndProgramAreRefusedAsUsageBeforeAnyChip) {
  const std::string list = dir_.File("dup.txt");
  std::ofstream(list) << "Q-1\nQ-2\nQ-1\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--serial-list", list}, "dup.txt: line 3: \"Q-1\" is on line 1 already"},
      {{"--serial-list", list, "--serial-format", "Q-#"}, "exclude each other"},
      {{"--serial-program", "x", "--serial-list", list}, "exclude each other"},
      {{"--serial-program", "x 'open"}, "--serial-program: a ' is not closed"},
      {{"--serial-program-timeout", "3"}, "does nothing without --serial-program"},
      {{"--serial-list", list, "--log", "postgresql://db.example/line"},
       "--serial-list FILE is for a station's own log file"},
      {{"--serial-list-name", "labels"}, "--serial-list-name alone names a list imported"},
  };
  for (const auto& [args, reason] : cases) {
    const RunResult run = Station(1, args);
    EXPECT_EQ(run.exit, 64) << reason;
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_TRUE(test::JsonLines(run.out, "progress").empty());
  }
}

TEST_F(StationSerials, AProgramThatFailsStartsNoUnitAndThePortSaysWhy) {
  // only the hanging program meets the short time-out; the others have all the time a loaded
  // machine may take to start them
  const struct {
    std::string body, timeout, reason;
  } cases[] = {
      {"exec sleep 30\n", "0.2", "did not answer within 0.2 s"},
      {"printf 'P-1\\001\\n'\n", "30", "its line 1 is no serial number"},
      {"echo P-1; echo P-1\n", "30", "it gave P-1 twice"},
      {"echo 'no labels left' >&2; exit 1\n", "30", "it exited with status 1 (no labels left)"},
      {"exit 0\n", "30", "it printed no serial number"},
  };
  int n = 0;
  for (const auto& [body, timeout, reason] : cases) {
    const std::string program = Script("mes" + std::to_string(++n) + ".sh", body);
    const RunResult run = Station(1, {"--serial-program", program + " --line 7",
                                      "--serial-program-timeout", timeout});
    EXPECT_EQ(run.exit, 1) << reason;
    const std::vector<nlohmann::json> units = test::JsonLines(run.out, "unit");
    ASSERT_EQ(units.size(), 1u) << run.out;
    EXPECT_EQ(units[0]["exit"], 21);
    EXPECT_NE(units[0]["detail"].get<std::string>().find(reason), std::string::npos)
        << units[0].dump();
    EXPECT_TRUE(test::JsonLines(run.out, "progress").empty()) << "the chip was touched: " << reason;
  }
  EXPECT_TRUE(Rows().empty());
}

TEST_F(StationSerials, ProgramNumbersAreRecordedAsSuchAndNeverGivenTwice) {
  // the program is asked with the station, the port and how many it wants
  const std::string program =
      Script("mes.sh", "[ \"$1 $3 $5\" = \"--station --port --count\" ] || exit 2\necho '{\"serial\":\"P-1\"}'\n");
  RunResult run = Station(1, {"--serial-program", program, "--station", "S1"});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  // a new run: the program gives the same number again
  run = Station(1, {"--serial-program", program, "--station", "S1"});
  EXPECT_EQ(run.exit, 1);
  const std::vector<nlohmann::json> units = test::JsonLines(run.out, "unit");
  ASSERT_EQ(units.size(), 1u);
  EXPECT_NE(units[0]["detail"].get<std::string>().find("P-1 is held already"), std::string::npos)
      << units[0].dump();

  const std::vector<nlohmann::json> rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["serial"], "P-1");
  EXPECT_EQ(rows[0]["serial_source"], "program");
  EXPECT_FALSE(rows[0]["serial_released"].get<bool>());
}

}  // namespace
}  // namespace qz::cli
