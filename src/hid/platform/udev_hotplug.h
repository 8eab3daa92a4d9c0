#pragma once

#include <vector>

#include "hid/hotplug.h"

struct udev;
struct udev_monitor;

namespace qz {

// USB device arrivals and removals from the udev monitor: "add" and "remove" of USB devices and
// of hidraw nodes become arrival and removal events of a device interface; other actions
// ("bind", "change", ...) become an event type the dialog ignores. Where no monitor can be made (a container without
// udev, no netlink), Start() fails and the program runs without notifications.
class UdevHotplugSource final : public HotplugSource {
 public:
  // Event type given to udev actions other than "add" and "remove".
  static constexpr std::uint32_t kOtherAction = 0x0007;

  UdevHotplugSource() = default;
  ~UdevHotplugSource() override;
  UdevHotplugSource(const UdevHotplugSource&) = delete;
  UdevHotplugSource& operator=(const UdevHotplugSource&) = delete;

  // Makes the monitor and starts receiving; false (and nothing held) when that fails.
  bool Start() override;
  void Stop() override;
  // The monitor's socket, non-blocking; -1 when not started.
  [[nodiscard]] int PollFd() const override;
  // Every event waiting on the socket, without blocking.
  [[nodiscard]] std::vector<DeviceChange> TakeEvents() override;

 private:
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

// The event type of a udev action ("add", "remove", anything else or null).
[[nodiscard]] std::uint32_t UdevActionEventType(const char* action);

}  // namespace qz
