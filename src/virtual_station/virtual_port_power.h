#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "portpower/port_power.h"

namespace qz::sim {
class VirtualChip;
}

namespace qz::station {

// Port power for virtual chips: each chip sits alone on a hub port that switches its own
// power; switching it off takes the chip off the bus, switching it on plugs it in afresh.
class VirtualPortPower final : public PortPower {
 public:
  // `chip_on_port` gives the virtual chip of a port ("sim-1"), or null.
  explicit VirtualPortPower(std::function<sim::VirtualChip*(const std::string&)> chip_on_port);

  [[nodiscard]] std::optional<HubPort> Find(const std::string& device, std::string* why) override;
  [[nodiscard]] bool Switch(const HubPort& port, bool off, std::string* why) override;
  [[nodiscard]] std::optional<bool> IsOff(const HubPort& port) override;
  [[nodiscard]] bool DevicePresent(const HubPort& port) override;

 private:
  std::function<sim::VirtualChip*(const std::string&)> chip_on_port_;
  std::mutex mutex_;
  std::map<std::string, bool> off_;
};

}  // namespace qz::station
