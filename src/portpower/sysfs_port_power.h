#pragma once

#include <filesystem>

#include "portpower/port_power.h"

namespace qz::station {

// Port power through the kernel's sysfs (Linux 6.0 and later): a device's `port` link names its
// hub port, whose `disable` attribute switches the port's power (and its USB 3 `peer`'s). The
// hub's class descriptor, where `descriptors` carries it, tells whether it switches its ports
// one by one; without it the hub counts as one that switches them together.
class SysfsPortPower final : public PortPower {
 public:
  // `root` is the sysfs mount ("/sys"); tests give a tree laid out in a temporary directory.
  explicit SysfsPortPower(std::filesystem::path root = "/sys");

  [[nodiscard]] std::optional<HubPort> Find(const std::string& device, std::string* why) override;
  [[nodiscard]] bool Switch(const HubPort& port, bool off, std::string* why) override;
  [[nodiscard]] std::optional<bool> IsOff(const HubPort& port) override;
  [[nodiscard]] bool DevicePresent(const HubPort& port) override;

 private:
  [[nodiscard]] std::filesystem::path DevicesDir() const;

  const std::filesystem::path root_;
};

}  // namespace qz::station
