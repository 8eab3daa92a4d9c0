// SIGINT and SIGTERM while `write` or `read` runs against the virtual chip, in-process, on a
// manual clock. The signal is raised by the output stream when the command prints a chosen line
// (a progress step, the re-plug message), so it arrives at a known point of the command. On
// Windows SIGINT is the console's Ctrl-C: the event goes to the test's own console and the
// stream waits until the handler's thread has recorded it.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/interrupt.h"
#include "cli/options/device_options.h"
#include "dialog/messages.h"
#include "image/sample_image.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"
#include "support/trigger_buffer.h"

namespace qz::cli {
namespace {

using test::ScratchDir;
using test::TriggerBuffer;

// Stands in for whatever the caller had installed; it must never run, and must be back after
// the command.
volatile std::sig_atomic_t callers_handler_ran = 0;
extern "C" void CallersHandler(int) { callers_handler_ran = 1; }

enum class Chip {
  kBodyPartlyWritten,  // header cleared, the body written from the top and stopped part-way
  kBodyWritten,        // header cleared, the whole body written
  kErased,             // the erase wiped the header; nothing written
  kUnchanged,          // as the chip came (the image)
};

struct Case {
  const char* name;
  std::vector<std::string> args;  // after the program's name; the device options are added
  bool firmware_chip;             // the chip runs its firmware: erase and re-plug first
  bool trigger_on_err;            // watch stderr (else stdout) for `trigger`
  std::string trigger;
  int signal;
  int exit;
  std::vector<std::string> in_order;  // appear in the watched stream, in this order
  Chip chip;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string JsonMessage(std::string_view text) {
  return "\"text\":\"" + std::string(text) + "\"";
}

class Interrupt : public testing::TestWithParam<Case> {
 protected:
#ifdef _WIN32
  static void SetUpTestSuite() {
    // A console of the test's own, with Ctrl-C delivered, as a command prompt gives. The one
    // the test may have inherited (a runner's, Wine's bare one) cannot always take events.
    (void)FreeConsole();
    ASSERT_NE(AllocConsole(), FALSE) << GetLastError();
    (void)SetConsoleCtrlHandler(nullptr, FALSE);
  }
  void SetUp() override {
    saved_term_ = std::signal(SIGTERM, CallersHandler);
    callers_handler_ran = 0;
  }
  void TearDown() override { (void)std::signal(SIGTERM, saved_term_); }

  static bool CallersHandlerInstalled(int signal) {
    if (signal == SIGINT) return true;  // a console handler: nothing of the caller's to check
    void (*current)(int) = std::signal(signal, CallersHandler);
    return current == CallersHandler;
  }

  void (*saved_term_)(int) = SIG_DFL;
#else
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = CallersHandler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &action, &saved_int_), 0);
    ASSERT_EQ(sigaction(SIGTERM, &action, &saved_term_), 0);
    callers_handler_ran = 0;
  }
  void TearDown() override {
    (void)sigaction(SIGINT, &saved_int_, nullptr);
    (void)sigaction(SIGTERM, &saved_term_, nullptr);
  }

  static bool CallersHandlerInstalled(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == CallersHandler;
  }

  struct sigaction saved_int_ {};
  struct sigaction saved_term_ {};
#endif
  ScratchDir dir_;
  ManualClock clock_;
};

TEST_P(Interrupt, StopsTheCommandReportsItAndSavesTheChip) {
  const Case& c = GetParam();
  const std::vector<std::uint8_t> image = test::SampleBytes(SampleVariant::kValid);
  const std::string image_path = dir_.File("image.bin");
  const std::string eeprom_path = dir_.File("eeprom.bin");
  const std::string out_path = dir_.File("dump.bin");
  test::WriteBytes(image_path, image);
  if (c.firmware_chip) {
    test::WriteBytes(eeprom_path, std::vector<std::uint8_t>(image.begin(), image.begin() + 32768));
  }

  std::vector<std::string> args{"qz670x-mp-cli"};
  for (const std::string& arg : c.args) {
    args.push_back(arg == "@image" ? image_path : arg == "@out" ? out_path : arg);
  }
  args.insert(args.end(), {"--simulate", "--sim-eeprom", eeprom_path});
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());

  TriggerBuffer watched(c.trigger, c.signal);
  TriggerBuffer other("", 0);
  std::ostream watched_stream(&watched);
  std::ostream other_stream(&other);
  std::ostream& out = c.trigger_on_err ? other_stream : watched_stream;
  std::ostream& err = c.trigger_on_err ? watched_stream : other_stream;
  int exit = -1;
  {
    // (without the hook the re-plug would be heard at once)
    ScopedDeviceSessionHook hook(clock_, [](DeviceSession& session) {
      session.Chip()->SetPlugListener(nullptr);
    });
    exit = qz::cli::Run(static_cast<int>(argv.size()), argv.data(), out, err);
  }

  EXPECT_EQ(exit, c.exit) << watched.Text() << other.Text();
  std::size_t at = 0;
  for (const std::string& expected : c.in_order) {
    const std::size_t found = watched.Text().find(expected, at);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << expected << "\n"
                                        << watched.Text();
    at = found + expected.size();
  }
  // the signal reached the command, and the caller's handlers are back
  EXPECT_EQ(callers_handler_ran, 0);
  EXPECT_TRUE(CallersHandlerInstalled(SIGINT));
  EXPECT_TRUE(CallersHandlerInstalled(SIGTERM));
  // a read stopped part-way leaves no file
  EXPECT_FALSE(test::FileExists(out_path));

  // the session saved the virtual chip's EEPROM as the stop left it
  const std::vector<std::uint8_t> eeprom = test::ReadBytes(eeprom_path);
  ASSERT_EQ(eeprom.size(), 32768u);
  const auto header_is = [&](std::uint8_t value) {
    return std::all_of(eeprom.begin(), eeprom.begin() + 8,
                       [value](std::uint8_t b) { return b == value; });
  };
  const auto body_written = [&](std::size_t from, std::size_t to) {
    return std::equal(eeprom.begin() + static_cast<std::ptrdiff_t>(from),
                      eeprom.begin() + static_cast<std::ptrdiff_t>(to),
                      image.begin() + static_cast<std::ptrdiff_t>(from));
  };
  switch (c.chip) {
    case Chip::kBodyPartlyWritten:
      EXPECT_TRUE(header_is(0x00));
      EXPECT_TRUE(body_written(0x4008, 0x4010));  // the top chunk goes first
      EXPECT_FALSE(body_written(8, 0x4010));
      break;
    case Chip::kBodyWritten:
      EXPECT_TRUE(header_is(0x00));
      EXPECT_TRUE(body_written(8, 0x4010));
      break;
    case Chip::kErased:
      EXPECT_TRUE(header_is(0xFF));
      // it waited no longer than the re-plug wait's first poll: not the 60 s it would give up at
      EXPECT_LT(clock_.Elapsed(), std::chrono::seconds(30)) << clock_.Elapsed().count();
      break;
    case Chip::kUnchanged:
      EXPECT_TRUE(body_written(0, 32768));
      break;
  }
}

const std::string kInterruptedBody = "stopping the write; the chip's EEPROM header is left cleared";

INSTANTIATE_TEST_SUITE_P(
    Commands, Interrupt,
    testing::Values(
        Case{"SigintDuringTheBodyWrite",
             {"--json", "write", "@image"},
             false,
             false,
             "\"percent\":30,",
             SIGINT,
             130,
             {"\"percent\":30,", "{\"signal\":2,\"type\":\"interrupted\"}",
              JsonMessage(msg::kFailToWriteEeprom),
              JsonMessage("Write to EEPROM Fail!  Try Again!(8)"), "{\"exit\":130,"},
             Chip::kBodyPartlyWritten},
        Case{"SigtermDuringTheReadBack",
             {"--json", "write", "@image"},
             false,
             false,
             "\"percent\":75,",
             SIGTERM,
             143,
             {"\"percent\":75,", "{\"signal\":15,\"type\":\"interrupted\"}",
              JsonMessage(msg::kFailToReadEeprom),
              JsonMessage("Write to EEPROM Fail!  Try Again!(9)"), "{\"exit\":143,"},
             Chip::kBodyWritten},
        Case{"SigtermDuringTheReplugWait",
             {"write", "@image"},
             true,
             true,
             std::string(msg::kReplugDevice),
             SIGTERM,
             143,
             {std::string(msg::kReplugDevice),
              "qz670x-mp-cli: interrupted by SIGTERM: the write was not started; the chip's "
              "EEPROM was erased, write the chip again\n"},
             Chip::kErased},
        Case{"SigintDuringARead",
             {"--json", "read", "@out"},
             true,
             false,
             "\"percent\":50,",
             SIGINT,
             130,
             {"\"percent\":50,", "{\"signal\":2,\"type\":\"interrupted\"}", "{\"exit\":130,"},
             Chip::kUnchanged}),
    [](const testing::TestParamInfo<Case>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace qz::cli
