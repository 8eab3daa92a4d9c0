// `list` and `read` against the virtual chip, in-process, on a manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "sim/sim_hid_backend.h"
#include "sim/virtual_chip.h"

namespace qz::cli {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using qz::test::RunResult;

class DeviceCommands : public testing::Test {
 protected:
  void SetUp() override {
    const char* root = std::getenv("QZ_TEST_TMPDIR");
    dir_ = fs::path(root != nullptr ? root : testing::TempDir()) /
           ("device_commands_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  // Runs the command line; `prepare` sees the session's virtual chip before the command does.
  RunResult RunCli(std::vector<std::string> args,
                   std::function<void(DeviceSession&)> prepare = {}) {
    ScopedDeviceSessionHook hook(clock_, std::move(prepare));
    return qz::test::RunCli(std::move(args));
  }

  static void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  static Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  static std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  // An EEPROM whose bytes all differ from their neighbours, optionally with a firmware header.
  static Bytes Pattern(bool firmware_header) {
    Bytes bytes(sim::kEepromBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 256) & 0xFF);
    }
    if (firmware_header) {
      const Bytes header = {'W', 'T', 'C', 0x00, 'O'};
      std::copy(header.begin(), header.end(), bytes.begin());
    }
    return bytes;
  }

  ManualClock clock_;
  fs::path dir_;
};

// --- list --------------------------------------------------------------------------------

TEST_F(DeviceCommands, ListShowsTheChipUnderItsIdentityAndMode) {
  const std::string firmware = PathOf("firmware.bin");
  WriteFile(firmware, Pattern(true));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"blank chip", {"list", "--simulate"}, "sim:0  sim-1  1D6C:6706  rom\n"},
      {"firmware header", {"list", "--simulate", "--sim-eeprom", firmware}, "sim:0  sim-1  1D6C:6841  firmware\n"},
      {"forced firmware", {"list", "--simulate", "--sim-mode", "firmware"}, "sim:0  sim-1  1D6C:6841  firmware\n"},
      {"forced rom", {"list", "--simulate", "--sim-eeprom", firmware, "--sim-mode", "rom"}, "sim:0  sim-1  1D6C:6706  rom\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = RunCli(c.args);
    EXPECT_EQ(result.exit, 0) << result.err;
    EXPECT_EQ(result.out, c.line);
  }
}

TEST_F(DeviceCommands, ListSkipsUnrelatedDevicesAndFindsTheTarget) {
  const auto add_devices = [](DeviceSession& session) {
    session.SimBackend()->AddExtraDevice(0x046D, 0xC31C, sim::ExtraDevice::kUnopenable, true);
    session.SimBackend()->AddExtraDevice(0x0ABC, 0x1234, sim::ExtraDevice::kSilent);
    session.SimBackend()->AddExtraDevice(0x1D6C, 0x6800, sim::ExtraDevice::kSilent);
  };
  RunResult result = RunCli({"list", "--simulate", "--sim-fault", "absent"}, add_devices);
  EXPECT_EQ(result.exit, 0) << result.err;
  EXPECT_EQ(result.out, "sim:extra:2  -  1D6C:6800  firmware\n");

  result = RunCli({"list", "--simulate", "--vid", "0abc", "--pid", "0x1234"}, add_devices);
  EXPECT_EQ(result.exit, 0) << result.err;
  EXPECT_EQ(result.out,
            "sim:0  sim-1  1D6C:6706  rom\nsim:extra:1  -  0ABC:1234  firmware\n"
            "sim:extra:2  -  1D6C:6800  firmware\n");
}

TEST_F(DeviceCommands, ListWithoutAChipSaysSoAndExits22) {
  RunResult result = RunCli({"list", "--simulate", "--sim-fault", "absent"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kNoChip));
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "USB deivce is NOT found!!\n");

  result = RunCli({"--json", "list", "--simulate", "--sim-fault", "absent"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kNoChip));
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["type"], "message");
  EXPECT_EQ(lines[0]["text"], "USB deivce is NOT found!!");
  EXPECT_EQ(lines[0]["icon"], "stop");
  EXPECT_EQ(lines[1], (nlohmann::json{{"type", "result"}, {"exit", 22}}));
}

TEST_F(DeviceCommands, ListJsonGivesOneDeviceLine) {
  const RunResult result = RunCli({"--json", "list", "--simulate"});
  EXPECT_EQ(result.exit, 0) << result.err;
  const auto lines = JsonLines(result.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (nlohmann::json{{"type", "device"},
                                      {"path", "sim:0"},
                                      {"port", "sim-1"},
                                      {"serial", ""},
                                      {"vid", "1D6C"},
                                      {"pid", "6706"},
                                      {"mode", "rom"}}));
  EXPECT_EQ(lines[1]["exit"], 0);
}

TEST_F(DeviceCommands, SimulatedEepromFileIsCreatedAndKeptAcrossRuns) {
  const std::string eeprom = PathOf("chip.bin");
  RunResult result = RunCli({"list", "--simulate", "--sim-eeprom", eeprom});
  EXPECT_EQ(result.exit, 0) << result.err;
  EXPECT_EQ(ReadFile(eeprom), Bytes(sim::kEepromBytes, 0xFF));

  WriteFile(eeprom, Pattern(true));
  result = RunCli({"list", "--simulate", "--sim-eeprom", eeprom});
  EXPECT_EQ(result.out, "sim:0  sim-1  1D6C:6841  firmware\n");
  EXPECT_EQ(ReadFile(eeprom), Pattern(true));
}

TEST_F(DeviceCommands, BadDeviceOptionsAreRefused) {
  const std::string short_file = PathOf("short.bin");
  WriteFile(short_file, Bytes(100, 0));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* says;  // part of stderr
  };
  const std::vector<Case> cases = {
      {"sim option without --simulate", {"list", "--sim-mode", "rom"}, 64, "--simulate"},
      {"unknown mode", {"list", "--simulate", "--sim-mode", "boot"}, 64, "--sim-mode"},
      {"unknown fault", {"list", "--simulate", "--sim-fault", "flaky"}, 64, "expected status=N"},
      {"bad fault number", {"read", "x.bin", "--simulate", "--sim-fault", "stale@0"}, 64, "1 or more"},
      {"bad target", {"list", "--simulate", "--vid", "1D6CX"}, 64, "hexadecimal"},
      {"length 0", {"read", "x.bin", "--simulate", "--length", "0"}, 64, "--length"},
      {"length beyond the EEPROM", {"read", "x.bin", "--simulate", "--length", "32769"}, 64, "--length"},
      {"no output file", {"read", "--simulate"}, 64, "OUT"},
      {"EEPROM file of the wrong size", {"list", "--simulate", "--sim-eeprom", short_file}, 74, "32768"},
      {"trace file that cannot be made", {"list", "--simulate", "--trace", PathOf("no/dir/trace.txt")}, 74, "trace"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = RunCli(c.args);
    EXPECT_EQ(result.exit, c.exit);
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(ReadFile(short_file), Bytes(100, 0)) << "a refused EEPROM file is left alone";
}

// --- read --------------------------------------------------------------------------------

TEST_F(DeviceCommands, ReadCopiesTheWholeEepromInSixteenByteRequests) {
  const std::string eeprom = PathOf("chip.bin");
  const std::string out = PathOf("dump.bin");
  WriteFile(eeprom, Pattern(true));
  const auto start = clock_.Now();
  const RunResult result = RunCli({"read", out, "--simulate", "--sim-eeprom", eeprom});
  ASSERT_EQ(result.exit, 0) << result.err;
  EXPECT_EQ(ReadFile(out), Pattern(true));
  EXPECT_EQ(ReadFile(eeprom), Pattern(true)) << "reading leaves the EEPROM as it was";
  // a 3 ms pause after each of the 2048 transfers, on the test's clock
  EXPECT_GE(clock_.Now() - start, std::chrono::milliseconds(2048 * 3));
  EXPECT_EQ(result.out, "");
}

TEST_F(DeviceCommands, ReadRequestsCarryTheDialogSequenceAndAddresses) {
  const std::string trace = PathOf("trace.txt");
  const RunResult result = RunCli({"read", PathOf("dump.bin"), "--simulate", "--length", "40",
                                   "--trace", trace});
  ASSERT_EQ(result.exit, 0) << result.err;
  EXPECT_EQ(ReadFile(PathOf("dump.bin")), Bytes(40, 0xFF));
  // the trace shows exactly the three requests (16 + 16 + 8 bytes) and their replies
  std::ifstream file(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].substr(0, 27), "OUT 00 F0 12 E4 A0 00 00 10");
  EXPECT_EQ(lines[1].substr(0, 29), "IN 00 00 00 00 00 00 00 F0 10");
  EXPECT_EQ(lines[2].substr(0, 27), "OUT 00 F1 12 E4 A0 00 10 10");
  EXPECT_EQ(lines[4].substr(0, 27), "OUT 00 F2 12 E4 A0 00 20 08");
  EXPECT_EQ(lines[5].substr(0, 29), "IN 00 00 00 00 00 00 00 F2 08");
}

TEST_F(DeviceCommands, ReadSkipsAStaleReply) {
  const std::string eeprom = PathOf("chip.bin");
  WriteFile(eeprom, Pattern(false));
  const RunResult result = RunCli({"read", PathOf("dump.bin"), "--length", "64", "--simulate",
                                   "--sim-eeprom", eeprom, "--sim-fault", "stale@2"});
  ASSERT_EQ(result.exit, 0) << result.err;
  const Bytes pattern = Pattern(false);
  EXPECT_EQ(ReadFile(PathOf("dump.bin")), Bytes(pattern.begin(), pattern.begin() + 64));
}

TEST_F(DeviceCommands, ReadWithoutAnAnswerFailsAndWritesNoFile) {
  const std::string out = PathOf("dump.bin");
  RunResult result = RunCli({"read", out, "--simulate", "--sim-fault", "no-reply@3"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kIoError));
  EXPECT_NE(result.err.find("Fail to read EEPROM!!"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("0x0020"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(out));

  result = RunCli({"--json", "read", out, "--simulate", "--sim-fault", "no-reply@1"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kIoError));
  bool saw_error = false;
  for (const auto& line : JsonLines(result.out)) {
    if (line["type"] == "read-error") {
      saw_error = true;
      EXPECT_EQ(line["address"], 0);
    }
  }
  EXPECT_TRUE(saw_error) << result.out;
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(DeviceCommands, ReadWithoutAChipExits22) {
  const RunResult result = RunCli({"read", PathOf("dump.bin"), "--simulate", "--sim-fault", "absent"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kNoChip));
  EXPECT_NE(result.err.find("USB deivce is NOT found!!"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(PathOf("dump.bin")));
}

TEST_F(DeviceCommands, ReadFindsAFirmwareModeChipBehindOtherDevices) {
  const std::string eeprom = PathOf("chip.bin");
  WriteFile(eeprom, Pattern(true));
  const RunResult result = RunCli(
      {"read", PathOf("dump.bin"), "--length", "32", "--simulate", "--sim-eeprom", eeprom},
      [](DeviceSession& session) {
        session.SimBackend()->AddExtraDevice(0x046D, 0xC31C, sim::ExtraDevice::kUnopenable, true);
      });
  ASSERT_EQ(result.exit, 0) << result.err;
  const Bytes pattern = Pattern(true);
  EXPECT_EQ(ReadFile(PathOf("dump.bin")), Bytes(pattern.begin(), pattern.begin() + 32));
}

TEST_F(DeviceCommands, ReadJsonReportsProgressAndTheResult) {
  const RunResult result = RunCli({"--json", "read", PathOf("dump.bin"), "--simulate"});
  ASSERT_EQ(result.exit, 0) << result.err;
  const auto lines = JsonLines(result.out);
  std::vector<int> percents;
  for (const auto& line : lines) {
    if (line["type"] == "progress") percents.push_back(line["percent"].get<int>());
  }
  ASSERT_EQ(percents.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(percents[static_cast<std::size_t>(i)], i);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            (nlohmann::json{{"type", "read"}, {"file", PathOf("dump.bin")}, {"length", 32768}}));
  EXPECT_EQ(lines.back(), (nlohmann::json{{"type", "result"}, {"exit", 0}}));
}

TEST_F(DeviceCommands, ReadIntoAMissingDirectoryFails) {
  const RunResult result = RunCli({"read", PathOf("no/dir/dump.bin"), "--simulate", "--length", "8"});
  EXPECT_EQ(result.exit, static_cast<int>(Exit::kIoError));
  EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace qz::cli
