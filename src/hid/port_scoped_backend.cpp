#include "hid/port_scoped_backend.h"

#include <algorithm>

namespace qz {

PortScopedBackend::PortScopedBackend(HidBackend& inner, std::string port)
    : inner_(inner), port_(std::move(port)) {}

std::vector<HidDeviceInfo> PortScopedBackend::Enumerate() {
  std::vector<HidDeviceInfo> interfaces = inner_.Enumerate();
  std::erase_if(interfaces, [&](const HidDeviceInfo& info) { return info.port != port_; });
  return interfaces;
}

std::unique_ptr<HidDevice> PortScopedBackend::Open(const std::string& path) {
  // A path from another port, or one that has gone away, is not this view's to open.
  const std::vector<HidDeviceInfo> interfaces = Enumerate();
  const bool listed = std::any_of(interfaces.begin(), interfaces.end(),
                                  [&](const HidDeviceInfo& info) { return info.path == path; });
  return listed ? inner_.Open(path) : nullptr;
}

MergedHidBackend::MergedHidBackend(std::vector<HidBackend*> parts) : parts_(std::move(parts)) {}

std::vector<HidDeviceInfo> MergedHidBackend::Enumerate() {
  std::vector<HidDeviceInfo> interfaces;
  for (HidBackend* part : parts_) {
    std::vector<HidDeviceInfo> listed = part->Enumerate();
    interfaces.insert(interfaces.end(), std::make_move_iterator(listed.begin()),
                      std::make_move_iterator(listed.end()));
  }
  return interfaces;
}

std::unique_ptr<HidDevice> MergedHidBackend::Open(const std::string& path) {
  for (HidBackend* part : parts_) {
    const std::vector<HidDeviceInfo> listed = part->Enumerate();
    const bool has = std::any_of(listed.begin(), listed.end(),
                                 [&](const HidDeviceInfo& info) { return info.path == path; });
    if (has) return part->Open(path);
  }
  return nullptr;
}

std::vector<std::string> PortsOf(const std::vector<HidDeviceInfo>& interfaces) {
  std::vector<std::string> ports;
  for (const HidDeviceInfo& info : interfaces) {
    if (info.port.empty()) continue;
    if (std::find(ports.begin(), ports.end(), info.port) == ports.end()) ports.push_back(info.port);
  }
  return ports;
}

}  // namespace qz
