#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "hid/platform/hidapi_backend.h"
#include "support/sample_images.h"

namespace qz {
namespace {

TEST(HidapiTranslationTest, ReportDescriptorPathOnlyForHidrawNodes) {
  struct Case {
    const char* device;
    const char* sysfs;
  };
  const Case cases[] = {
      {"/dev/hidraw0", "/sys/class/hidraw/hidraw0/device/report_descriptor"},
      {"/dev/hidraw17", "/sys/class/hidraw/hidraw17/device/report_descriptor"},
      {"/dev/hidraw", ""},
      {"/dev/hidraw1/../../etc", ""},
      {"/dev/hidrawX", ""},
      {"/dev/usb/hiddev0", ""},
      {"1-1.4:1.0", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    EXPECT_EQ(HidrawReportDescriptorPath(c.device), c.sysfs);
  }
}

TEST(HidapiTranslationTest, ReportIdByteLandsInFront) {
  std::array<std::uint8_t, 64> report{};
  report.fill(0x77);
  const std::span<std::uint8_t> target = HidapiReadTarget(report, false);
  ASSERT_EQ(target.data(), report.data() + 1);
  ASSERT_EQ(target.size(), 63U);
  // hidapi delivered 63 data bytes after the ID position.
  EXPECT_EQ(FinishHidapiRead(report, false, 63), 64);
  EXPECT_EQ(report[0], 0);
  EXPECT_EQ(report[1], 0x77);

  // Numbered reports arrive with their ID first: hidapi fills the whole buffer.
  EXPECT_EQ(HidapiReadTarget(report, true).data(), report.data());
  report[0] = 0x02;
  EXPECT_EQ(FinishHidapiRead(report, true, 33), 33);
  EXPECT_EQ(report[0], 0x02);
}

TEST(HidapiTranslationTest, ResultsMapToLinkOutcomes) {
  struct Case {
    bool numbered;
    int hidapi;
    int link;
  };
  const Case cases[] = {
      {false, 0, -1},  {true, 0, -1},    // hidapi's time-out is the link's -1
      {false, -1, 0},  {true, -1, 0},    // hidapi's error is "no read could be made"
      {false, 10, 11}, {true, 10, 10},   // a short report
      {false, 99, 64}, {true, 99, 64},   // never more than the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "numbered " << c.numbered << ", hidapi " << c.hidapi);
    std::array<std::uint8_t, 64> report{};
    EXPECT_EQ(FinishHidapiRead(report, c.numbered, c.hidapi), c.link);
  }
  std::span<std::uint8_t> empty;
  EXPECT_TRUE(HidapiReadTarget(empty, false).empty());
  EXPECT_EQ(FinishHidapiRead(empty, false, 5), 0);
}

TEST(HidapiTranslationTest, UsbPortComesFromTheSysfsDeviceTree) {
  // The layout the kernel gives: class links into the device tree, the USB device directory
  // named after its port, its interfaces below it, the HID device below those.
  namespace fs = std::filesystem;
  const test::ScratchDir sysfs;
  const fs::path root = sysfs.path();
  const fs::path hub = root / "devices/pci0000:00/0000:00:14.0/usb1/1-4";
  const fs::path chip_hid = hub / "1-4.2/1-4.2:1.3/0003:1D6C:6841.0007";
  const fs::path keyboard_hid =
      root / "devices/pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.0/0003:046D:C31C.0001";
  const fs::path virtual_hid = root / "devices/virtual/misc/uhid/0003:1234:5678.0009";
  const auto node = [&](const char* name, const fs::path& device) {
    fs::create_directories(device);
    fs::create_directories(root / "class/hidraw" / name);
    fs::create_directory_symlink(device, root / "class/hidraw" / name / "device");
  };
  node("hidraw5", chip_hid);
  node("hidraw0", keyboard_hid);
  node("hidraw9", virtual_hid);

  EXPECT_EQ(HidrawUsbPort("/dev/hidraw5", root.string()), "1-4.2");
  EXPECT_EQ(HidrawUsbPort("/dev/hidraw0", root.string()), "3-1");
  EXPECT_EQ(HidrawUsbPort("/dev/hidraw9", root.string()), "");  // not a USB device
  EXPECT_EQ(HidrawUsbPort("/dev/hidraw4", root.string()), "");  // no such node
  EXPECT_EQ(HidrawUsbPort("/dev/usb/hiddev0", root.string()), "");

  for (const char* name : {"1-4", "1-4.2", "12-3.1.4"}) EXPECT_TRUE(IsUsbPortName(name)) << name;
  for (const char* name :
       {"usb1", "1-4.2:1.3", "1-", "-4", "1-4.", "1-4..2", "0003:1D6C:6841.0007"}) {
    EXPECT_FALSE(IsUsbPortName(name)) << name;
  }
}

}  // namespace
}  // namespace qz
