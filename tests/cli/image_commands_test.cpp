#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "cli/cli_common.h"
#include "image/image_format.h"
#include "support/sample_images.h"

namespace qz {
namespace {

namespace layout = sample_layout;

using qz::test::RunCli;
using qz::test::RunResult;

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

class ImageCommandsTest : public testing::Test {
 protected:
  std::string Sample(const std::string& name, SampleVariant variant = SampleVariant::kValid) {
    const std::string path = dir_.File(name);
    test::WriteBytes(path, test::SampleBytes(variant));
    return path;
  }
  test::ScratchDir dir_;
};

TEST_F(ImageCommandsTest, CheckSummarisesAValidImage) {
  const RunResult run = RunCli({"check", Sample("sample.bin")});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.err, "");
  for (const char* line : {"firmware ID: 5067\n", "updated mark: clear\n", "CId: 0x27\n",
                           "QZFwLTag: at 32 (0x0020)\n", "QZStrTag: at 15424 (0x3C40)\n",
                           "high-speed device: idVendor 1D6C, idProduct 6841, bcdDevice 0100\n",
                           "string 2 (product): \"QZ670x USB Audio\"\n",
                           "string 6 (serial number): \"0000000001\"\n"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "in:\n" << run.out;
  }
}

TEST_F(ImageCommandsTest, CheckJsonIsOneSummaryLineThenTheResult) {
  const RunResult run = RunCli({"--json", "check", Sample("no-hsd.bin", SampleVariant::kNoHsD)});
  EXPECT_EQ(run.exit, 0);
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  const nlohmann::json& summary = lines[0];
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["firmware_id"], "5067");
  EXPECT_EQ(summary["cid"], "27");
  EXPECT_EQ(summary["tags"]["QZCIdTag"], layout::kCIdTagAt);
  EXPECT_TRUE(summary["tags"]["QZHsDTag"].is_null());
  EXPECT_TRUE(summary["hs_device"].is_null());
  EXPECT_EQ(summary["fs_device"]["product_id"], "6841");
  EXPECT_EQ(summary["strings"][0]["text"], "QZ Audio");
  EXPECT_EQ(lines[1], (nlohmann::json{{"type", "result"}, {"exit", 0}}));
}

TEST_F(ImageCommandsTest, CheckFailuresPrintTheMessagesAndExit20) {
  struct Case {
    const char* name;
    std::string path;
    std::string err;
  };
  const Case cases[] = {
      {"missing", dir_.File("missing.bin"), "Fail to open file\nRead File Error!\n"},
      {"wrong CId", Sample("cid.bin", SampleVariant::kBadCId), "Fw Error!\nRead File Error!\n"},
      {"wrong variant", Sample("var.bin", SampleVariant::kBadVariant),
       "Fw Error!\nRead File Error!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = RunCli({"check", c.path});
    EXPECT_EQ(run.exit, 20);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  const RunResult json = RunCli({"--json", "check", dir_.File("missing.bin")});
  EXPECT_EQ(json.exit, 20);
  const std::vector<nlohmann::json> lines = JsonLines(json.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["type"], "message");
  EXPECT_EQ(lines[0]["text"], "Fail to open file");
  EXPECT_EQ(lines[0]["caption"], "qz670x-mp-cli");
  EXPECT_EQ(lines[1]["text"], "Read File Error!");
  EXPECT_EQ(lines[2]["exit"], 20);
}

TEST_F(ImageCommandsTest, SaveExitStatusFollowsTheMessages) {
  const std::string origin = Sample("origin.bin");
  const std::string update = dir_.File("update.bin");
  const std::string bcd_value = "Invalid High Speed Device's bcdDevice..\nSave File Error!\n";
  const std::string bcd_empty = "Invalid High Speed Device's bcdDevice\nSave File Error!\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit;
    std::string err;
  };
  const Case cases[] = {
      {"no overrides", {"save", origin, update}, 0, "Save File OK!\n"},
      // the dialog's edits read hexadecimal up to the first other character: said, and kept
      {"no digits", {"save", origin, update, "--hs-vid", "zz"}, 0,
       "qz670x-mp-cli: --hs-vid \"zz\" reads as 0000\nSave File OK!\n"},
      {"digits, then others", {"save", origin, update, "--hs-bcd", "12G4"}, 0,
       "qz670x-mp-cli: --hs-bcd \"12G4\" reads as 0012\nSave File OK!\n"},
      {"a prefix, read whole", {"save", origin, update, "--fs-pid", "0x0042"}, 0, "Save File OK!\n"},
      {"negative value", {"save", origin, update, "--hs-bcd", "-1"}, 21, bcd_value},
      {"negative value joined", {"save", origin, update, "--hs-bcd=-1"}, 21, bcd_value},
      {"empty value", {"save", origin, update, "--hs-bcd", ""}, 21, bcd_empty},
      {"empty value joined", {"save", origin, update, "--hs-bcd="}, 21, bcd_empty},
      {"empty value joined, before the paths", {"save", "--hs-bcd=", origin, update}, 21,
       bcd_empty},
      {"string too long", {"save", origin, update, "--serial", std::string(33, 's')}, 21,
       "SerialNumber's Length Error! Please check again\nSave File Error!\n"},
      {"origin rejected", {"save", Sample("cid.bin", SampleVariant::kBadCId), update}, 20,
       "Fw Error!\nUpdate File Error!(1)\nSave File Error!\n"},
      {"no string area", {"save", Sample("str.bin", SampleVariant::kNoStr), update}, 20,
       "Update File Error!(2)\nSave File Error!\n"},
      {"no firmware block", {"save", Sample("fwl.bin", SampleVariant::kNoFwL), update}, 20,
       "Update File Error!(3)\nSave File Error!\n"},
      {"update not creatable", {"save", origin, dir_.File("none/update.bin")}, 24,
       "Update File Error!(4)\nSave File Error!\n"},
      {"update path missing", {"save", origin}, 64, ""},
      {"path too long", {"save", origin, dir_.File(std::string(300, 'p'))}, 64, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = RunCli(c.args);
    EXPECT_EQ(run.exit, c.exit);
    if (c.exit == 64) {
      EXPECT_NE(run.err.find("Run with --help"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err);
    }
  }
}

TEST_F(ImageCommandsTest, SaveTakesValuesVerbatimAndReachesTheHiddenIdFields) {
  const std::string origin = Sample("origin.bin");
  const std::string update = dir_.File("update.bin");
  const RunResult run =
      RunCli({"--json", "save", origin, update, "--manufacturer", "-Foo", "--product=--serial",
              "--hs-vid", "0x1234", "--fs-pid", "4321", "--fs-bcd", "0x0305", "--hs-audio",
              "\xC3\xA9t\xC3\xA9", "--hs-bcd", "12G4"});
  ASSERT_EQ(run.exit, 0) << run.err;
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), (nlohmann::json{{"type", "note"},
                                           {"option", "--hs-bcd"},
                                           {"text", "12G4"},
                                           {"reads_as", "0012"}}));
  const std::vector<std::uint8_t> saved = test::ReadBytes(update);
  ASSERT_EQ(saved.size(), kImageSize);
  const std::uint8_t* area = saved.data() + layout::kStrTagAt + kTagLength;
  EXPECT_EQ(DecodeStringSlot(area, 1), "-Foo");
  EXPECT_EQ(DecodeStringSlot(area, 2), "--serial");
  EXPECT_EQ(DecodeStringSlot(area, 3), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(DecodeStringSlot(area, 6), "0000000001");  // --serial was a value, not an option
  const std::uint8_t* hs = saved.data() + layout::kHsDTagAt + kTagLength;
  const std::uint8_t* fs = saved.data() + layout::kFsDTagAt + kTagLength;
  EXPECT_EQ(ReadLe16(hs + kIdVendorOffset), 0x1234);
  EXPECT_EQ(ReadLe16(hs + kBcdDeviceOffset), 0x0012);
  EXPECT_EQ(ReadLe16(fs + kIdProductOffset), 0x4321);
  EXPECT_EQ(ReadLe16(fs + kBcdDeviceOffset), 0x0305);

  // and the saved file checks again, with the updated mark set
  const RunResult check = RunCli({"check", update});
  EXPECT_EQ(check.exit, 0);
  EXPECT_NE(check.out.find("updated mark: set"), std::string::npos);
}

TEST_F(ImageCommandsTest, SaveWhoseWriteFailsExits24AndKeepsTheOldFile) {
#ifdef _WIN32
  GTEST_SKIP() << "no per-process file size limit here";
#else
  const std::string origin = Sample("origin.bin");
  const std::vector<std::uint8_t> before = test::ReadBytes(origin);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved;
  limit.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const RunResult run = RunCli({"--json", "save", origin, origin});
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(run.exit, 24);
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["text"], "Save File Error!");
  EXPECT_EQ(lines[1]["exit"], 24);
  EXPECT_EQ(test::ReadBytes(origin), before);
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"origin.bin"});
#endif
}

}  // namespace
}  // namespace qz
