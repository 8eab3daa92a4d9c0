#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hid/hid_backend.h"

namespace qz {

// The real HID layer on Linux: hidapi over hidraw. It only translates; report lengths come
// from the interface's report descriptor (sysfs), and the report-ID byte is put where the link
// expects it (byte 0, in both directions).
class HidapiBackend final : public HidBackend {
 public:
  // Initialises hidapi once per process.
  HidapiBackend();

  // `sysfs_root` is where sysfs is mounted ("/sys"); tests lay out a tree of their own.
  explicit HidapiBackend(std::string sysfs_root);

  // Present HID interfaces: hidraw path, vendor ID, product ID, USB port and serial string, in
  // hidapi's order.
  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  // Opens `path` (a /dev/hidrawN node); nullptr when hidapi cannot open it. A device whose report
  // descriptor cannot be read reports lengths 0.
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

 private:
  std::string sysfs_root_ = "/sys";
};

// The USB port of the USB device a hidraw node belongs to, as the kernel names its sysfs
// directory ("1-4.2": bus 1, port 4, then port 2 of the hub there): the first ancestor of
// <sysfs_root>/class/hidraw/hidrawN/device named so. Empty when `device_path` is not a hidraw
// node or the walk finds no USB device (a Bluetooth or virtual HID device).
[[nodiscard]] std::string HidrawUsbPort(std::string_view device_path,
                                        const std::string& sysfs_root = "/sys");

// True for a kernel USB device name: bus number, '-', port numbers joined by '.'.
[[nodiscard]] bool IsUsbPortName(std::string_view name);

// The sysfs file holding the report descriptor of a hidraw node ("/dev/hidraw3" gives
// "/sys/class/hidraw/hidraw3/device/report_descriptor"); empty when `device_path` is not a
// hidraw node.
[[nodiscard]] std::string HidrawReportDescriptorPath(std::string_view device_path);

// Where hidapi should put an input report read into `report`: all of it for a device with
// numbered reports (hidapi delivers the ID first), or all but byte 0 for one without (hidapi
// delivers the data alone). Empty when `report` is.
[[nodiscard]] std::span<std::uint8_t> HidapiReadTarget(std::span<std::uint8_t> report,
                                                       bool numbered_reports);

// Turns hid_read_timeout's result into the link's: a count of bytes in `report`, report-ID
// byte included (byte 0 set to 0 for a device without numbered reports); -1 for hidapi's time-out
// (0); 0 for hidapi's error (-1).
[[nodiscard]] int FinishHidapiRead(std::span<std::uint8_t> report, bool numbered_reports,
                                   int hidapi_result);

}  // namespace qz
