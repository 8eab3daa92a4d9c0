// Session recordings through the command line, on a manual clock: a recorded write replays to OK,
// a recording changed in one report stops the job at that report and names it, damaged or
// foreign recordings are refused with a reason, and the recordings kept from real sessions
// (tests/recordings) replay to OK.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::cli {
namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::trunc);
  for (const std::string& line : lines) out << line << '\n';
}

class Recordings : public testing::Test {
 protected:
  Recordings() { test::WriteBytes(Image(), test::SampleBytes(SampleVariant::kValid)); }
  std::string Image() const { return dir_.File("image.bin"); }

  test::RunResult Cli(std::vector<std::string> args) {
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock);
    return test::RunCli(std::move(args));
  }
  test::RunResult Replay(const std::string& recording) {
    return Cli({"write", Image(), "--factory", "--sim-replay", recording});
  }
  // A factory write from firmware mode (erase, re-plug, job), recorded; the recording's path.
  std::string Record() {
    const std::string path = dir_.File("session.jsonl");
    const test::RunResult run = Cli({"write", Image(), "--factory", "--simulate", "--sim-mode",
                                     "firmware", "--record", path});
    EXPECT_EQ(run.exit, 0) << run.err;
    return path;
  }

  test::ScratchDir dir_;
};

TEST_F(Recordings, ARecordedWriteReplaysToOkAndAChangedReportStopsIt) {
  const std::string recorded = Record();
  std::vector<std::string> lines = ReadLines(recorded);
  const nlohmann::json header = nlohmann::json::parse(lines.front());
  EXPECT_EQ(header["mode"], "firmware");
  EXPECT_EQ(header["port"], "sim-1");
  EXPECT_EQ(header["image_length"], 32784);
  const test::RunResult replayed = Replay(recorded);
  EXPECT_EQ(replayed.exit, 0) << replayed.err;

  // one byte of the 501st report (a write of the job's body) changed
  for (std::string& line : lines) {
    nlohmann::json parsed = nlohmann::json::parse(line);
    if (parsed.value("index", 0) != 501) continue;
    ASSERT_EQ(parsed["type"], "out");
    std::string bytes = parsed["bytes"];
    bytes[bytes.size() - 1] = bytes.back() == '0' ? '1' : '0';
    parsed["bytes"] = bytes;
    line = parsed.dump();
  }
  const std::string changed = dir_.File("changed.jsonl");
  WriteLines(changed, lines);
  const test::RunResult stopped = Replay(changed);
  EXPECT_NE(stopped.exit, 0);
  EXPECT_NE(stopped.err.find("the session left its recording at report 501: expected OUT "),
            std::string::npos)
      << stopped.err;
  EXPECT_EQ(stopped.err.find("Write to EEPROM OK!"), std::string::npos);
}

TEST_F(Recordings, ACutForeignOrNewerRecordingIsRefusedWithItsReason) {
  const std::vector<std::string> lines = ReadLines(Record());
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::string reason;
  };
  std::vector<std::string> cut(lines.begin(), lines.begin() + 100);
  std::vector<std::string> newer = lines;
  nlohmann::json header = nlohmann::json::parse(newer.front());
  header["format"] = 2;
  newer.front() = header.dump();
  std::vector<std::string> foreign = lines;
  header["format"] = 1;
  header["image_sha256"] = std::string(64, 'a');
  foreign.front() = header.dump();
  const std::vector<Case> cases = {
      {"cut", cut, "the recording is cut short after report"},
      {"newer", newer, "a recording of format 2; this program reads format 1"},
      {"foreign", foreign, "recorded with another image (SHA-256 aaaa"},
  };
  for (const Case& each : cases) {
    const std::string path = dir_.File(each.name + ".jsonl");
    WriteLines(path, each.lines);
    const test::RunResult run = Replay(path);
    EXPECT_EQ(run.exit, 74) << each.name;
    EXPECT_NE(run.err.find(each.reason), std::string::npos) << each.name << ": " << run.err;
  }
}

TEST_F(Recordings, TheStationRecordsEachPortInAFileOfItsOwn) {
  const test::RunResult run =
      Cli({"station", Image(), "--simulate", "2", "--all-ports", "--log",
           dir_.File("log.sqlite3"), "--record", dir_.File("station.jsonl")});
  EXPECT_EQ(run.exit, 0) << run.err;
  for (const char* port : {"sim-1", "sim-2"}) {
    const std::vector<std::string> lines =
        ReadLines(dir_.File(std::string("station.") + port + ".jsonl"));
    ASSERT_GT(lines.size(), 2u) << port;
    EXPECT_EQ(nlohmann::json::parse(lines.front())["port"], port);
    EXPECT_EQ(nlohmann::json::parse(lines.back())["type"], "end");
  }
}

TEST_F(Recordings, APowerReplugIsRecordedBetweenTheRemovalAndTheArrival) {
  const test::RunResult run =
      Cli({"station", Image(), "--factory", "--simulate", "1", "--sim-mode", "firmware",
           "--all-ports", "--replug", "power", "--log", dir_.File("log.sqlite3"), "--record",
           dir_.File("power.jsonl")});
  EXPECT_EQ(run.exit, 0) << run.err;
  std::vector<std::string> events;
  for (const std::string& text : ReadLines(dir_.File("power.sim-1.jsonl"))) {
    const nlohmann::json line = nlohmann::json::parse(text);
    const std::string type = line["type"];
    if (type == "power") events.push_back(line["on"] ? "on" : "off");
    if (type == "removal" || type == "arrival") events.push_back(type);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"off", "removal", "on", "arrival"}));
}

TEST_F(Recordings, KeptRecordingsOfRealSessionsReplayToOk) {
  // made by tests/kernel/run.sh from a factory write of qz670x-make-image's image
  test::WriteBytes(Image(), test::SampleBytes());
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QZ_RECORDINGS_DIR)) {
    if (entry.path().extension() != ".jsonl") continue;
    ++kept;
    const test::RunResult run = Replay(entry.path().string());
    EXPECT_EQ(run.exit, 0) << entry.path() << ": " << run.err;
  }
  EXPECT_GT(kept, 0);
}

TEST(VirtualStation, MoreChipsThanItHoldsIsAUsageError) {
  for (const char* command : {"write", "station"}) {
    const test::RunResult run = test::RunCli({command, "image.bin", "--simulate", "65"});
    EXPECT_EQ(run.exit, 64) << command;
    EXPECT_NE(run.err.find("the virtual station holds 1 to 64 chips"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace qz::cli
