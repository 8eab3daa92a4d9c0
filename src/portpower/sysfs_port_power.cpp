#include "portpower/sysfs_port_power.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace qz::station {

namespace fs = std::filesystem;

namespace {

// Hub class descriptors (USB 2 and SuperSpeed) and where they keep wHubCharacteristics.
constexpr unsigned kHubDescriptorType = 0x29;
constexpr unsigned kSuperSpeedHubDescriptorType = 0x2A;
constexpr std::size_t kHubCharacteristicsOffset = 3;
// Bits 1:0 of wHubCharacteristics: 00 ganged power switching, 01 per port, 1x none.
constexpr unsigned kPowerSwitchingMask = 0x3;
constexpr unsigned kGangedPowerSwitching = 0x0;

std::vector<unsigned char> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether the hub switches its ports' power together; true when its descriptors do not say.
bool HubGanged(const fs::path& hub_dir) {
  const std::vector<unsigned char> bytes = ReadBytes(hub_dir / "descriptors");
  for (std::size_t at = 0; at + 2 <= bytes.size();) {
    const std::size_t length = bytes[at];
    if (length < 2 || at + length > bytes.size()) break;
    const unsigned type = bytes[at + 1];
    if ((type == kHubDescriptorType || type == kSuperSpeedHubDescriptorType) &&
        length > kHubCharacteristicsOffset + 1) {
      const unsigned characteristics =
          static_cast<unsigned>(bytes[at + kHubCharacteristicsOffset]) |
          (static_cast<unsigned>(bytes[at + kHubCharacteristicsOffset + 1]) << 8U);
      return (characteristics & kPowerSwitchingMask) == kGangedPowerSwitching;
    }
    at += length;
  }
  return true;
}

// Writes `text` to a sysfs attribute; the kernel answers the write itself, so the error shows
// at the flush.
bool WriteAttribute(const fs::path& path, const char* text, std::string* why) {
  errno = 0;
  std::FILE* file = std::fopen(path.string().c_str(), "w");
  if (file == nullptr) {
    *why = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  const bool put = std::fputs(text, file) >= 0;
  const int put_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (put && closed) return true;
  *why = "cannot write " + path.string() + ": " + std::strerror(put ? errno : put_errno);
  return false;
}

}  // namespace

SysfsPortPower::SysfsPortPower(fs::path root) : root_(std::move(root)) {}

fs::path SysfsPortPower::DevicesDir() const { return root_ / "bus" / "usb" / "devices"; }

std::optional<HubPort> SysfsPortPower::Find(const std::string& device, std::string* why) {
  std::error_code error;
  const fs::path link = DevicesDir() / device / "port";
  const fs::path port_dir = fs::canonical(link, error);
  if (error) {
    *why = "USB device " + device + " has no hub port in sysfs (" + link.string() + ": " +
           error.message() + ")";
    return std::nullopt;
  }
  if (!fs::exists(port_dir / "disable", error)) {
    *why = "port " + port_dir.filename().string() +
           " cannot be switched: the kernel offers no `disable` for it (Linux 6.0 or later)";
    return std::nullopt;
  }
  // <hub>/<hub>:1.0/<hub>-portN
  const fs::path hub_dir = port_dir.parent_path().parent_path();
  HubPort port;
  port.device = device;
  port.name = port_dir.filename().string();
  port.hub = hub_dir.filename().string();
  port.handle = port_dir.string();
  const fs::path peer = fs::canonical(port_dir / "peer", error);
  if (!error && fs::exists(peer / "disable", error)) port.peer = peer.string();
  port.ganged = HubGanged(hub_dir);
  return port;
}

bool SysfsPortPower::Switch(const HubPort& port, bool off, std::string* why) {
  const char* value = off ? "1" : "0";
  bool ok = WriteAttribute(fs::path(port.handle) / "disable", value, why);
  // the peer follows even when the port refused, so that both end in the same state
  std::string peer_why;
  if (!port.peer.empty() && !WriteAttribute(fs::path(port.peer) / "disable", value, &peer_why)) {
    if (ok) *why = peer_why;
    ok = false;
  }
  return ok;
}

std::optional<bool> SysfsPortPower::IsOff(const HubPort& port) {
  std::ifstream in(fs::path(port.handle) / "disable");
  int value = -1;
  if (!(in >> value)) return std::nullopt;
  return value != 0;
}

bool SysfsPortPower::DevicePresent(const HubPort& port) {
  std::error_code error;
  return fs::exists(DevicesDir() / port.device, error);
}

std::unique_ptr<PortPower> MakePlatformPortPower() { return std::make_unique<SysfsPortPower>(); }

}  // namespace qz::station
