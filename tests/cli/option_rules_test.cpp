// Options that would do nothing, contradict each other or leave their range are usage errors
// that name them; a file the command would write at its end is checked before any chip.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::cli {
namespace {

TEST(OptionRules, RefusedBeforeAnyCommandRuns) {
  test::ScratchDir dir;
  const std::string image = dir.File("image.bin");
  test::WriteBytes(image, test::SampleBytes(SampleVariant::kValid));
  const std::string log = dir.File("production.sqlite3");
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* says;
  };
  const Case cases[] = {
      {{"frob"}, 64, "unknown command 'frob'"},
      {{"--json", "frob", "x"}, 64, "unknown command 'frob'"},
      {{"station", image, "--simulate", "2", "--all-ports", "--serial-start", "5"}, 64,
       "--serial-start does nothing without --serial-format"},
      {{"job", "create", dir.File("j.qzjob"), "--image", image, "--serial-start", "5", "--name",
        "n", "--revision", "1"},
       64, "--serial-start does nothing without --serial-format"},
      {{"station", image, "--simulate", "2", "--all-ports", "--units", "3"}, 64,
       "--units does nothing without --loop"},
      {{"station", image, "--simulate", "2", "--all-ports", "--loop", "--units", "0"}, 64,
       "--units takes 1 or more, not 0"},
      {{"station", image, "--simulate", "2", "--all-ports", "--sim-pause", "1"}, 64,
       "--sim-pause does nothing without --loop"},
      {{"station", image, "--simulate", "2", "--all-ports", "--serial-format", ""}, 64,
       "--serial-format"},
      {{"station", image, "--simulate", "2", "--ports", "sim-1", "--all-ports"}, 64,
       "--ports and --all-ports exclude each other"},
      {{"station", image, "--simulate", "4", "--all-ports", "--sim-fault", "sim-9:status=1"}, 64,
       "the virtual station has ports sim-1..sim-4"},
      {{"write", image, "--sim-virtual-time"}, 64,
       "--sim-virtual-time does nothing without --simulate or --sim-replay"},
      {{"write", image, "--simulate", "--replug-timeout", "-1"}, 64,
       "--replug-timeout takes 0 or more seconds"},
      {{"write", image, "--simulate", "--log", log, "--serial-block", "0"}, 64,
       "--serial-block takes 1 to 100000"},
      {{"write", image, "--simulate", "--log", log, "--serial-block", "4"}, 64,
       "--serial-block does nothing without a line database"},
      {{"write", image, "--simulate", "--station", "A"}, 64, "--station does nothing without --log"},
      {{"write", image, "--simulate", "--power-off-time", "3"}, 64,
       "--power-off-time does nothing without --replug power or auto"},
      {{"read", dir.File("out.bin"), "--simulate", "--length", "0"}, 64,
       "--length takes 1 to 32768 bytes"},
      {{"log", "--log", log, "--by", "port"}, 64, "--by does nothing without --summary"},
      {{"log", "--log", log, "--since", "2026-13-45"}, 64, "2026-13-45"},
      {{"log", "--log", log, "--since", "2026-02-29"}, 64, "2026-02-29"},
      {{"log", "--log", log, "--since", "2026-01-31T24:00"}, 64, "2026-01-31T24:00"},
      // the virtual chip's EEPROM file is checked before the chip is written, not after
      {{"write", image, "--simulate", "--sim-eeprom", "/nonexistent/x.bin"}, 74,
       "--sim-eeprom /nonexistent/x.bin: cannot be written: the folder /nonexistent does not "
       "exist"},
      {{"station", image, "--simulate", "1", "--all-ports", "--sim-eeprom", "/nonexistent/x.bin"},
       74, "the folder /nonexistent does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const test::RunResult run = test::RunCli(c.args);
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("OK!"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("\"unit\""), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace qz::cli
