#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hid/hid_backend.h"

namespace qz {

// One USB port's view of a backend: it lists and opens only the interfaces of the USB device on
// `port`, so the device search, the ROM-mode probe and a whole job work on one chip among many
// without knowing it. The port stays while the chip re-plugs under another node and product ID.
class PortScopedBackend final : public HidBackend {
 public:
  // `inner` is not owned and must outlive this backend and every device it opened.
  PortScopedBackend(HidBackend& inner, std::string port);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  // Opens `path` only while the inner backend lists it on this port; nullptr otherwise.
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  void NotePower(bool on) override { inner_.NotePower(on); }

  [[nodiscard]] const std::string& Port() const { return port_; }

 private:
  HidBackend& inner_;
  const std::string port_;
};

// Several backends seen as one bus: their listings one after another, each path opened by the
// backend that lists it.
class MergedHidBackend final : public HidBackend {
 public:
  // Not owned; each must outlive this backend and the devices it opened.
  explicit MergedHidBackend(std::vector<HidBackend*> parts);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  // nullptr when no part lists `path` or its part cannot open it.
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

 private:
  std::vector<HidBackend*> parts_;
};

// The distinct non-empty ports of `interfaces`, in order of first appearance.
[[nodiscard]] std::vector<std::string> PortsOf(const std::vector<HidDeviceInfo>& interfaces);

}  // namespace qz
