#include "hid/platform/udev_hotplug.h"

#include <fcntl.h>
#include <libudev.h>

#include <cstring>

namespace qz {

std::uint32_t UdevActionEventType(const char* action) {
  if (action == nullptr) return UdevHotplugSource::kOtherAction;
  if (std::strcmp(action, "add") == 0) return kDbtDeviceArrival;
  if (std::strcmp(action, "remove") == 0) return kDbtDeviceRemoveComplete;
  return UdevHotplugSource::kOtherAction;
}

UdevHotplugSource::~UdevHotplugSource() { Stop(); }

bool UdevHotplugSource::Start() {
  if (monitor_ != nullptr) return true;
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  // The "udev" events below are sent by the udev daemon alone. Without it (a container) the
  // monitor opens all the same but stays silent, and a caller waiting for a re-plug would wait
  // for ever; saying no lets it probe on its own instead.
  udev_queue* queue = udev_queue_new(udev_);
  const bool daemon_running = queue != nullptr && udev_queue_get_udev_is_active(queue) != 0;
  udev_queue_unref(queue);
  if (!daemon_running) {
    Stop();
    return false;
  }
  // "udev": events after udev has set the device up. A USB device's event goes out before udev
  // has handled its hidraw node (the node's access is granted then), so a probe on the USB
  // arrival alone can find the chip not yet openable; the hidraw node's own events probe again
  // once it is.
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  bool ok = monitor_ != nullptr &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") >= 0 &&
            udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) >= 0 &&
            udev_monitor_enable_receiving(monitor_) >= 0;
  if (ok) {
    const int fd = udev_monitor_get_fd(monitor_);
    const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
  }
  if (!ok) Stop();
  return ok;
}

void UdevHotplugSource::Stop() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
  monitor_ = nullptr;
  udev_ = nullptr;
}

int UdevHotplugSource::PollFd() const {
  return monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1;
}

std::vector<DeviceChange> UdevHotplugSource::TakeEvents() {
  std::vector<DeviceChange> events;
  if (monitor_ == nullptr) return events;
  // the socket is non-blocking: null once nothing is left
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    DeviceChange change;
    change.event_type = UdevActionEventType(udev_device_get_action(device));
    change.header.device_type = kDbtDevtypDeviceInterface;
    events.push_back(change);
    udev_device_unref(device);
  }
  return events;
}

}  // namespace qz
