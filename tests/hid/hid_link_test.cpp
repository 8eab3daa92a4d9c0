#include "hid/hid_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/command_reports.h"
#include "support/scripted_hid.h"

namespace qz {
namespace {

using test::Out;
using test::Reply;
using test::ScriptedHid;
using test::ScriptedInterface;

constexpr std::uint16_t kVid = 0x1D6C;
constexpr std::uint16_t kPid = 0x6841;

ScriptedInterface Interface(std::string path, std::uint16_t vid, std::uint16_t pid,
                            std::uint16_t input = 64, std::uint16_t output = 64,
                            bool openable = true) {
  return {{std::move(path), vid, pid}, input, output, openable};
}

class OpenHidDeviceTest : public testing::Test {
 protected:
  int Open(std::uint16_t vid = kVid, std::uint16_t pid = kPid) {
    return OpenHidDevice(link, vid, pid, &output_length, &input_length);
  }

  void SetUp() override { link.backend = &hid; }

  ScriptedHid hid;
  HidLink link;
  std::uint16_t output_length = 0xAAAA;
  std::uint16_t input_length = 0xAAAA;
};

TEST_F(OpenHidDeviceTest, FirstMatchingInterfaceIsOpenedAndOthersAreNotTouched) {
  hid.SetInterfaces({Interface("keyboard", 0x046D, 0xC31C), Interface("rom", kVid, 0x6706),
                     Interface("chip-a", kVid, kPid, 64, 33), Interface("chip-b", kVid, kPid)});
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(hid.OpenedPaths(), std::vector<std::string>{"chip-a"});
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.InputReportLength, 64);
  EXPECT_EQ(link.OutputReportLength, 33);
  EXPECT_EQ(input_length, 64);
  EXPECT_EQ(output_length, 33);
}

TEST_F(OpenHidDeviceTest, OpenLinkAnswersAtOnceWithoutTouchingLengths) {
  ASSERT_EQ(Open(), 1);
  output_length = 0x1234;
  input_length = 0x5678;
  EXPECT_EQ(Open(0x1111, 0x2222), 1) << "other IDs sought: the open link is not compared";
  EXPECT_EQ(output_length, 0x1234);
  EXPECT_EQ(input_length, 0x5678);
  EXPECT_EQ(hid.OpenedPaths().size(), 1U);
}

TEST_F(OpenHidDeviceTest, NullLengthPointerChangesNothing) {
  EXPECT_EQ(OpenHidDevice(link, kVid, kPid, nullptr, &input_length), 0);
  EXPECT_EQ(OpenHidDevice(link, kVid, kPid, &output_length, nullptr), 0);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(input_length, 0xAAAA);
  EXPECT_TRUE(hid.OpenedPaths().empty());
}

TEST_F(OpenHidDeviceTest, WalkStopsAfterIndex255) {
  for (const int chip_index : {255, 256}) {
    SCOPED_TRACE(chip_index);
    std::vector<ScriptedInterface> interfaces;
    for (int i = 0; i < chip_index; ++i) {
      interfaces.push_back(Interface("other-" + std::to_string(i), 0x0001, 0x0002));
    }
    interfaces.push_back(Interface("chip", kVid, kPid));
    hid.SetInterfaces(interfaces);
    CloseHidLink(link);
    EXPECT_EQ(Open(), chip_index < kMaxInterfaces ? 1 : 0);
  }
}

TEST_F(OpenHidDeviceTest, UnfitInterfacesAreSkipped) {
  struct Case {
    const char* name;
    ScriptedInterface unfit;
  };
  const Case cases[] = {
      {"cannot be opened", Interface("unfit", kVid, kPid, 64, 64, false)},
      {"lengths unknown", Interface("unfit", kVid, kPid, 0, 0)},
      {"input report too short", Interface("unfit", kVid, kPid, kMinInputReportLength - 1, 64)},
      {"output report too short", Interface("unfit", kVid, kPid, 64, kMinOutputReportLength - 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hid.SetInterfaces({c.unfit, Interface("fit", kVid, kPid, kMinInputReportLength,
                                          kMinOutputReportLength)});
    CloseHidLink(link);
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(hid.OpenedPaths().back(), "fit");
    EXPECT_EQ(input_length, kMinInputReportLength);
    EXPECT_EQ(output_length, kMinOutputReportLength);
  }
}

TEST_F(OpenHidDeviceTest, FailedSearchLeavesLinkClosedWithZeroLengths) {
  ASSERT_EQ(Open(), 1);
  CloseHidLink(link);
  EXPECT_EQ(link.InputReportLength, 64) << "closing keeps the lengths";
  hid.SetInterfaces({Interface("rom", kVid, 0x6707), Interface("short", kVid, kPid, 8, 8)});
  EXPECT_EQ(Open(), 0);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.InputReportLength, 0);
  EXPECT_EQ(link.OutputReportLength, 0);
  EXPECT_EQ(input_length, 0);
  EXPECT_EQ(output_length, 0);
  uint8_t buffer[64] = {};
  EXPECT_EQ(ReadInputReport(link, buffer), 0);
  EXPECT_EQ(WriteOutputReport(link, buffer), -1);
}

TEST_F(OpenHidDeviceTest, NoBackendChangesNothing) {
  link.backend = nullptr;
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(input_length, 0xAAAA);
  EXPECT_EQ(output_length, 0xAAAA);
}

TEST_F(OpenHidDeviceTest, LongReportsGetBuffersTheyFitIn) {
  // A 100-byte output report: the whole of it is written, zero-filled past the layout.
  hid.SetInterfaces({Interface("long", kVid, kPid, 200, 100)});
  hid.Append({Out({0x00, 0x01, 0x22, 0x00, 0xB1}), Reply(0x01, 0x00)});
  ASSERT_EQ(Open(), 1);
  EXPECT_GE(link.request.size(), 100U);
  EXPECT_GE(link.reply.size(), 200U);
  std::uint8_t value = 0xFF;
  EXPECT_TRUE(RegisterTransfer(link, &value, true, kRegStatus, 0x01));
  EXPECT_TRUE(hid.Finished());

  // Reopening a 64-byte device keeps the larger buffers: nothing is allocated again.
  const std::uint8_t* request = link.request.data();
  CloseHidLink(link);
  hid.SetInterfaces({Interface("short", kVid, kPid)});
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(link.request.data(), request);
}

}  // namespace
}  // namespace qz
