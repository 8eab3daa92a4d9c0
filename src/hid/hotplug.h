#pragma once

#include <cstdint>
#include <vector>

namespace qz {

// Device-change event types and the device type of a device-interface broadcast.
inline constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDbtDeviceQueryRemove = 0x8001;
inline constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;

// Header of a device-change broadcast.
struct DeviceBroadcastHeader {
  std::uint32_t size = 12;
  std::uint32_t device_type = kDbtDevtypDeviceInterface;
  std::uint32_t reserved = 0;
};

// One device change: the event type and its broadcast header.
struct DeviceChange {
  std::uint32_t event_type = 0;
  DeviceBroadcastHeader header;
};

// Tells that USB devices arrived or went away. It only reports; what to do about it is the
// dialog's rule. Events are drained on the UI thread.
class HotplugSource {
 public:
  virtual ~HotplugSource() = default;
  // Starts watching; false when that is not possible here.
  virtual bool Start() = 0;
  virtual void Stop() = 0;
  // A descriptor that becomes readable when events are pending (for poll or a socket
  // notifier), or -1.
  [[nodiscard]] virtual int PollFd() const = 0;
  // Takes the pending events without blocking.
  [[nodiscard]] virtual std::vector<DeviceChange> TakeEvents() = 0;
};

}  // namespace qz
