// `job` and running jobs with `write --job`, in-process against the virtual chip.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "base/clock.h"
#include "crypto/crypto.h"
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

std::string ReadText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
  return {bytes.begin(), bytes.end()};
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
    // a job with serial numbers logs to the default file: the test's own, never the user's
    if (const char* data = std::getenv("XDG_DATA_HOME")) saved_data_home_ = data;
    setenv("XDG_DATA_HOME", dir_.File("data").c_str(), 1);
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

  // `station --job JOB` on one virtual chip, on the manual clock.
  RunResult Station(const std::string& job) {
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock, {});
    return RunCli({"station", "--job", job, "--simulate", "1", "--all-ports", "--log",
                   dir_.File("station.sqlite3")});
  }

  // A job of the sample image, created and signed: its file's JSON.
  nlohmann::json SignedJob(const std::string& path) {
    EXPECT_EQ(RunCli({"job", "create", path, "--image", image_, "--product", "Widget",
                      "--serial-format", "W-####", "--name", "widget", "--revision", "3"})
                  .exit,
              0);
    EXPECT_EQ(RunCli({"job", "sign", path, "--key", key_}).exit, 0);
    return nlohmann::json::parse(ReadText(path));
  }

  void TearDown() override {
    if (saved_data_home_) {
      setenv("XDG_DATA_HOME", saved_data_home_->c_str(), 1);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
  }

  test::ScratchDir dir_;
  std::string image_, key_, keys_, config_;
  std::optional<std::string> saved_data_home_;
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
  RunResult run = RunCli({"job", "create", dir_.File("bad.qzjob"), "--image", image_, "--product",
                          std::string(33, 'p'), "--name", "n", "--revision", "1"});
  EXPECT_EQ(run.exit, 21) << run.err;
  EXPECT_FALSE(test::FileExists(dir_.File("bad.qzjob")));
  // IDs and release numbers are 1 to 4 hexadecimal digits, nothing the dialog would read in part
  for (const char* bad : {"zz", "12G4", "12345", "0x12", ""}) {
    run = RunCli({"job", "create", dir_.File("bad.qzjob"), "--image", image_, "--hs-vid", bad,
                  "--name", "n", "--revision", "1"});
    EXPECT_EQ(run.exit, 64) << bad;
    EXPECT_NE(run.err.find("--hs-vid \"" + std::string(bad) + "\""), std::string::npos) << run.err;
  }
  EXPECT_FALSE(test::FileExists(dir_.File("bad.qzjob")));

  const std::string job = dir_.File("unsigned.qzjob");
  ASSERT_EQ(RunCli({"job", "create", job, "--image", image_, "--name", "n", "--revision", "1"}).exit, 0);
  ScopedStationConfig config(config_);
  run = Write({"--job", job}, dir_.File("x.bin"));
  EXPECT_EQ(run.exit, 26);
  EXPECT_NE(run.err.find("only signed jobs"), std::string::npos) << run.err;
  EXPECT_FALSE(test::FileExists(dir_.File("x.bin")));
}

TEST_F(JobCommand, ASignedJobChangedInAnyWayIsRefusedAlsoWhereNoKeysAreTrusted) {
  const std::string path = dir_.File("widget.qzjob");
  const nlohmann::json original = SignedJob(path);
  ASSERT_TRUE(original["signature"].contains("public_key"));
  std::string why;
  const std::optional<crypto::PublicKey> other = crypto::ParsePublicKeyPem(test::kOtherPublicPem, &why);
  ASSERT_TRUE(other) << why;
  const std::string other_key = Base64Encode(other->spki);
  const std::string other_id = other->Id();

  const std::string unlocked = dir_.File("unlocked.toml");
  WriteText(unlocked, "station = \"S1\"\n");
  ScopedStationConfig config(unlocked);
  RunResult run = Write({"--job", path}, dir_.File("ok.bin"));
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err.find("unsigned"), std::string::npos) << run.err;

  using nlohmann::json;
  struct Edit {
    const char* what;
    std::function<void(json&)> apply;
  };
  const Edit edits[] = {
      {"name", [](json& f) { f["job"]["name"] = "gadget"; }},
      {"revision", [](json& f) { f["job"]["revision"] = "4"; }},
      {"image bytes",
       [](json& f) {
         std::vector<std::uint8_t> image = *Base64Decode(f["job"]["image"]["base64"].get<std::string>());
         image[100] ^= 1;
         f["job"]["image"]["base64"] = Base64Encode(image);
         f["job"]["image"]["sha256"] = crypto::Sha256Hex(image);
       }},
      {"mode", [](json& f) { f["job"]["mode"] = "factory"; }},
      {"overrides", [](json& f) { f["job"]["overrides"]["product"] = "Gadget"; }},
      {"target IDs", [](json& f) { f["job"]["target"]["pid"] = "6842"; }},
      {"serial", [](json& f) { f["job"]["serial"]["start"] = 100; }},
      {"stations", [](json& f) { f["job"]["stations"] = json::array({"S1"}); }},
      {"firmware ID", [](json& f) { f["job"]["firmware_id"] = "FFFF"; }},
      {"key id swapped", [&](json& f) { f["signature"]["key"] = other_id; }},
      {"public key swapped", [&](json& f) { f["signature"]["public_key"] = other_key; }},
      {"both swapped",
       [&](json& f) {
         f["signature"]["key"] = other_id;
         f["signature"]["public_key"] = other_key;
       }},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.what);
    json changed = original;
    edit.apply(changed);
    ASSERT_NE(changed, original);
    WriteText(path, changed.dump(2));
    run = Write({"--job", path}, dir_.File("x.bin"));
    EXPECT_EQ(run.exit, 26) << run.err;
    EXPECT_FALSE(test::FileExists(dir_.File("x.bin")));
    run = Station(path);
    EXPECT_EQ(run.exit, 26) << run.err;
    EXPECT_NE(run.err.find(path + ": the job"), std::string::npos) << run.err;
    // shown as such
    run = RunCli({"job", "show", path});
    EXPECT_NE(run.out.find("signature: DOES NOT VERIFY: "), std::string::npos) << run.out;
  }

  // signed before jobs carried their key: refused, saying what to do
  json old = original;
  old["signature"].erase("public_key");
  WriteText(path, old.dump(2));
  run = Write({"--job", path}, dir_.File("x.bin"));
  EXPECT_EQ(run.exit, 26);
  EXPECT_NE(run.err.find("sign it again"), std::string::npos) << run.err;
  // a station that trusts the key still runs it
  WriteText(unlocked, "station = \"S1\"\ntrusted-keys = \"" + keys_ + "\"\n");
  run = Write({"--job", path}, dir_.File("x.bin"));
  EXPECT_EQ(run.exit, 0) << run.err;
}

TEST_F(JobCommand, AnUnsignedJobRunsWithANoticeAndItsRowSaysUnsigned) {
  const std::string path = dir_.File("widget.qzjob");
  ASSERT_EQ(RunCli({"job", "create", path, "--image", image_, "--name", "widget", "--revision",
                    "1"}).exit,
            0);
  // an existing file is replaced only with --force
  RunResult run = RunCli({"job", "create", path, "--image", image_, "--name", "widget",
                          "--revision", "2"});
  EXPECT_EQ(run.exit, 64);
  EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
  ASSERT_EQ(RunCli({"job", "create", path, "--image", image_, "--name", "widget", "--revision",
                    "2", "--force"}).exit,
            0);

  const std::string unlocked = dir_.File("unlocked.toml");
  WriteText(unlocked, "station = \"S1\"\n");
  ScopedStationConfig config(unlocked);
  const std::string log = dir_.File("log.sqlite3");
  run = Write({"--job", path, "--log", log}, dir_.File("a.bin"));
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.err.find("qz670x-mp-cli: unsigned job: " + path), std::string::npos) << run.err;
  run = Write({"--json", "--job", path}, dir_.File("b.bin"));
  ASSERT_EQ(run.exit, 0) << run.err;
  const nlohmann::json note = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
  EXPECT_EQ(note["type"], "note");
  EXPECT_EQ(note["file"], path);

  run = RunCli({"--json", "log", "--log", log});
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out.substr(0, run.out.find('\n')))["job_key"], "unsigned");

  run = RunCli({"job", "show", "--json", path});
  ASSERT_EQ(run.exit, 0) << run.err;
  const nlohmann::json shown = nlohmann::json::parse(run.out.substr(0, run.out.find('\n')));
  EXPECT_EQ(shown["settings"]["revision"], "2");
  EXPECT_EQ(shown["settings"]["image_sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(shown["settings"]["signed_by"], "nobody (unsigned)");
  EXPECT_EQ(shown["settings"]["signature"], "none: unsigned job");
  EXPECT_EQ(shown["signature_valid"], false);
}

TEST_F(JobCommand, ASignedJobFixesItsSerialSourceAndAStationConfigurationMayGiveOne) {
  const std::string program = dir_.File("mes.sh");
  WriteText(program, "#!/bin/sh\necho P-7\n");
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  const std::string job = dir_.File("mes.qzjob");
  ASSERT_EQ(RunCli({"job", "create", job, "--image", image_, "--serial-program", program,
                    "--name", "widget", "--revision", "4"}).exit,
            0);
  ASSERT_EQ(RunCli({"job", "sign", job, "--key", key_}).exit, 0);
  EXPECT_EQ(nlohmann::json::parse(ReadText(job))["job"]["serial"],
            (nlohmann::json{{"program", program}}));
  // `write` asks no program: it refuses the job rather than write it without its number
  EXPECT_EQ(Write({"--job", job}, dir_.File("x.bin")).exit, 64);
  {
    ScopedStationConfig config(config_);  // only signed jobs run here
    RunResult run = Station(job);
    ASSERT_EQ(run.exit, 0) << run.err;
    // the operator cannot put another source in its place
    for (const char* option : {"--serial-format", "--serial-list-name", "--serial-program"}) {
      ManualClock clock;
      ScopedDeviceSessionHook hook(clock, {});
      run = RunCli({"station", "--job", job, "--simulate", "1", "--all-ports", option, "X-#"});
      EXPECT_EQ(run.exit, 64) << option;
      EXPECT_NE(run.err.find(std::string(option) + " cannot be given with --job: the job decides it"),
                std::string::npos)
          << run.err;
    }
  }
  // a station configuration's source, where neither a job nor the command line gives one
  const std::string unlocked = dir_.File("unlocked.toml");
  WriteText(unlocked, "station = \"S1\"\nserial-format = \"C-###\"\n");
  {
    ScopedStationConfig config(unlocked);
    ManualClock clock;
    ScopedDeviceSessionHook hook(clock, {});
    ASSERT_EQ(RunCli({"station", image_, "--simulate", "1", "--all-ports", "--log",
                      dir_.File("station.sqlite3")})
                  .exit,
              0);
  }
  const RunResult rows = RunCli({"--json", "log", "--log", dir_.File("station.sqlite3")});
  ASSERT_EQ(rows.exit, 0) << rows.err;
  EXPECT_NE(rows.out.find(R"("serial":"P-7","serial_released":false,"serial_source":"program")"),
            std::string::npos)
      << rows.out;
  EXPECT_NE(rows.out.find(R"("serial":"C-001","serial_released":false,"serial_source":"counter")"),
            std::string::npos)
      << rows.out;
  // two sources in one job, or a line's list on a log file, are refused
  EXPECT_EQ(RunCli({"job", "create", dir_.File("two.qzjob"), "--image", image_, "--serial-format",
                    "W-#", "--serial-list-name", "batch7", "--name", "w", "--revision", "1"})
                .exit,
            64);
  ASSERT_EQ(RunCli({"job", "create", dir_.File("list.qzjob"), "--image", image_,
                    "--serial-list-name", "batch7", "--name", "w", "--revision", "1"})
                .exit,
            0);
  const RunResult listed = Station(dir_.File("list.qzjob"));
  EXPECT_EQ(listed.exit, 64);
  EXPECT_NE(listed.err.find("the job's serial list \"batch7\""), std::string::npos) << listed.err;
}

}  // namespace
}  // namespace qz::cli
