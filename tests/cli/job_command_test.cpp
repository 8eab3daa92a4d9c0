// `job` and running jobs with `write --job`, in-process against the virtual chip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "support/cli_runner.h"
#include "support/job_fixtures.h"
#include "support/sample_images.h"

namespace qz::cli {
namespace {

using test::RunCli;
using test::RunResult;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The station configuration of this process, while the object lives.
class ScopedStationConfig {
 public:
  explicit ScopedStationConfig(const std::string& path) {
    setenv("QZ670X_MP_STATION_CONFIG", path.c_str(), 1);
  }
  ~ScopedStationConfig() { unsetenv("QZ670X_MP_STATION_CONFIG"); }
};

class JobCommand : public testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.File("image.bin");
    test::WriteBytes(image_, test::SampleBytes());
    key_ = dir_.File("factory.key.pem");
    WriteText(key_, test::kFactoryPrivatePem);
    keys_ = dir_.File("keys");
    std::filesystem::create_directory(keys_);
    WriteText(keys_ + "/factory.pem", test::kFactoryPublicPem);
    config_ = dir_.File("station.toml");
    WriteText(config_, "require-signed-jobs = true\ntrusted-keys = \"" + keys_ +
                           "\"\nstation = \"S1\"\n");
  }

  // `write ARGS... --simulate --sim-eeprom EEPROM` on the manual clock.
  RunResult Write(std::vector<std::string> args, const std::string& eeprom) {
    args.insert(args.begin(), "write");
    args.insert(args.end(), {"--simulate", "--sim-eeprom", eeprom});
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock, {});
    return RunCli(std::move(args));
  }

  test::ScratchDir dir_;
  std::string image_, key_, keys_, config_;
};

TEST_F(JobCommand, ASignedJobWritesWhatItsCommandLineWouldAndItsRowNamesIt) {
  const std::string job = dir_.File("widget.qzjob");
  RunResult run = RunCli({"job", "create", job, "--image", image_, "--factory", "--product",
                          "Widget", "--hs-bcd", "0200", "--serial-format", "W-####",
                          "--serial-start", "7", "--name", "widget", "--revision", "3"});
  ASSERT_EQ(run.exit, 0) << run.err;
  run = RunCli({"job", "sign", job, "--key", key_});
  ASSERT_EQ(run.exit, 0) << run.err;
  run = RunCli({"job", "verify", job, "--trusted", keys_});
  EXPECT_EQ(run.exit, 0) << run.err;

  const std::string log = dir_.File("log.sqlite3");
  {
    ScopedStationConfig config(config_);
    run = Write({"--job", job, "--log", log}, dir_.File("by-job.bin"));
    ASSERT_EQ(run.exit, 0) << run.err;
    // what the job decides cannot be changed
    run = Write({"--job", job, "--product", "Other"}, dir_.File("x.bin"));
    EXPECT_EQ(run.exit, 64);
    EXPECT_NE(run.err.find("--product"), std::string::npos) << run.err;
    // a locked station writes no image without a job
    run = Write({image_}, dir_.File("x.bin"));
    EXPECT_EQ(run.exit, 26) << run.err;
    EXPECT_FALSE(test::FileExists(dir_.File("x.bin")));
  }
  run = Write({image_, "--factory", "--product", "Widget", "--hs-bcd", "0200", "--serial", "W-0007"},
              dir_.File("by-hand.bin"));
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(test::ReadBytes(dir_.File("by-job.bin")), test::ReadBytes(dir_.File("by-hand.bin")));

  run = RunCli({"--json", "log", "--log", log});
  ASSERT_EQ(run.exit, 0) << run.err;
  const nlohmann::json row = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
  EXPECT_EQ(row["job_name"], "widget");
  EXPECT_EQ(row["job_revision"], "3");
  EXPECT_EQ(row["job_key"], test::kFactoryKeyId);
  EXPECT_EQ(row["job_sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(row["serial"], "W-0007");
  EXPECT_EQ(row["station"], "S1");
}

TEST_F(JobCommand, CreateRefusesWhatWriteEepromRefusesWithItsExitAndLockedStationsRefuseUnsignedJobs) {
  RunResult run = RunCli({"job", "create", dir_.File("bad.qzjob"), "--image", image_, "--hs-vid",
                          "12345", "--name", "n", "--revision", "1"});
  EXPECT_EQ(run.exit, 21) << run.err;
  EXPECT_FALSE(test::FileExists(dir_.File("bad.qzjob")));

  const std::string job = dir_.File("unsigned.qzjob");
  ASSERT_EQ(RunCli({"job", "create", job, "--image", image_, "--name", "n", "--revision", "1"}).exit, 0);
  ScopedStationConfig config(config_);
  run = Write({"--job", job}, dir_.File("x.bin"));
  EXPECT_EQ(run.exit, 26);
  EXPECT_NE(run.err.find("only signed jobs"), std::string::npos) << run.err;
  EXPECT_FALSE(test::FileExists(dir_.File("x.bin")));
}

}  // namespace
}  // namespace qz::cli
