#include "hid/trace.h"

#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hid/command_reports.h"
#include "hid/hid_link.h"
#include "support/scripted_hid.h"

namespace qz {
namespace {

using test::InShort;
using test::Out;
using test::Reply;
using test::ScriptedHid;
using test::Timeout;
using test::WriteFails;

TEST(TraceTest, LineFormat) {
  const std::array<std::uint8_t, 4> bytes = {0x00, 0xF5, 0x0A, 0xCD};
  EXPECT_EQ(FormatTraceLine("OUT", bytes), "OUT 00 F5 0A CD");
  EXPECT_EQ(FormatTraceLine("IN", std::span<const std::uint8_t>()), "IN");
}

TEST(TraceTest, TracesOnlyBytesThatTravelled) {
  ScriptedHid scripted({Out({0x00, 0xF5, 0xAB, 0xCD}), WriteFails({0x00, 0xF5, 0xAB, 0xCD}),
                        Out({0x00, 0x01, 0x22, 0x00, 0xB1}), Timeout(),
                        Out({0x00, 0x02, 0x22, 0x00, 0xB1}),
                        InShort({0x00, 0, 0, 0, 0, 0, 0, 0x02, 0x5A})});
  std::ostringstream out;
  TracingBackend tracing(scripted, out);
  HidLink link;
  link.backend = &tracing;
  std::uint16_t output = 0;
  std::uint16_t input = 0;
  ASSERT_EQ(OpenHidDevice(link, 0x1D6C, 0x6841, &output, &input), 1);

  EXPECT_EQ(SendEraseCommand(link), S_OK);
  EXPECT_EQ(SendEraseCommand(link), E_FAIL);
  std::uint8_t value = 0;
  EXPECT_FALSE(RegisterTransfer(link, &value, true, kRegStatus, 0x01));
  EXPECT_TRUE(RegisterTransfer(link, &value, true, kRegStatus, 0x02));
  EXPECT_TRUE(scripted.Finished());

  const std::string zeros59 = [] {
    std::string s;
    for (int i = 0; i < 59; ++i) s += " 00";
    return s;
  }();
  const std::string zeros60 = zeros59 + " 00";
  EXPECT_EQ(out.str(), "OUT 00 F5 AB CD" + zeros60 + "\n" +
                           "OUT 00 01 22 00 B1" + zeros59 + "\n" +
                           "OUT 00 02 22 00 B1" + zeros59 + "\n" +
                           "IN 00 00 00 00 00 00 00 02 5A\n");
}

// Answers every write with the same bytes on its next read.
class EchoDevice final : public HidDevice {
 public:
  [[nodiscard]] std::uint16_t InputReportLength() const override { return 64; }
  [[nodiscard]] std::uint16_t OutputReportLength() const override { return 64; }
  int Write(std::span<const std::uint8_t> report) override {
    std::copy(report.begin(), report.end(), last_.begin());
    return 64;
  }
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds) override {
    std::copy(last_.begin(), last_.end(), report.begin());
    return 64;
  }

 private:
  std::array<std::uint8_t, 64> last_{};
};

class EchoBackend final : public HidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override { return {}; }
  std::unique_ptr<HidDevice> Open(const std::string&) override {
    return std::make_unique<EchoDevice>();
  }
};

TEST(TraceTest, LinesFromSeveralThreadsNeverInterleave) {
  EchoBackend echo;
  std::ostringstream out;
  TracingBackend tracing(echo, out);
  constexpr int kReports = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&tracing, t] {
      std::unique_ptr<HidDevice> device = tracing.Open("echo");
      std::array<std::uint8_t, 64> report{};
      report.fill(static_cast<std::uint8_t>(0x11 * (t + 1)));
      for (int i = 0; i < kReports; ++i) {
        device->Write(report);
        device->Read(report, std::chrono::milliseconds(0));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream lines(out.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    const bool out_line = line.rfind("OUT ", 0) == 0;
    ASSERT_TRUE(out_line || line.rfind("IN ", 0) == 0) << line;
    const std::string bytes = line.substr(out_line ? 4 : 3);
    ASSERT_EQ(bytes.size(), 64U * 3 - 1) << line;
    const std::string first = bytes.substr(0, 2);
    for (std::size_t i = 0; i < bytes.size(); i += 3) ASSERT_EQ(bytes.substr(i, 2), first) << line;
  }
  EXPECT_EQ(count, 2 * 2 * kReports);
}

}  // namespace
}  // namespace qz
