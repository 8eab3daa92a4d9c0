#include "virtual_station/virtual_port_power.h"

#include "sim/virtual_chip.h"

namespace qz::station {

VirtualPortPower::VirtualPortPower(
    std::function<sim::VirtualChip*(const std::string&)> chip_on_port)
    : chip_on_port_(std::move(chip_on_port)) {}

std::optional<HubPort> VirtualPortPower::Find(const std::string& device, std::string* why) {
  sim::VirtualChip* chip = chip_on_port_(device);
  if (chip == nullptr || !chip->Present()) {
    *why = "no virtual chip on " + device;
    return std::nullopt;
  }
  HubPort port;
  port.device = device;
  port.name = device;
  port.hub = device;  // a hub of its own
  port.ganged = false;
  port.handle = device;
  return port;
}

bool VirtualPortPower::Switch(const HubPort& port, bool off, std::string* why) {
  sim::VirtualChip* chip = chip_on_port_(port.handle);
  if (chip == nullptr) {
    *why = "no virtual chip on " + port.handle;
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    off_[port.handle] = off;
  }
  chip->SetPresent(!off);
  return true;
}

std::optional<bool> VirtualPortPower::IsOff(const HubPort& port) {
  std::lock_guard lock(mutex_);
  const auto found = off_.find(port.handle);
  return found != off_.end() && found->second;
}

bool VirtualPortPower::DevicePresent(const HubPort& port) {
  sim::VirtualChip* chip = chip_on_port_(port.handle);
  return chip != nullptr && chip->Present();
}

}  // namespace qz::station
