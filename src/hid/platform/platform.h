#pragma once

#include <memory>

#include "hid/hid_backend.h"
#include "hid/hotplug.h"

namespace qz {

// The HID layer of the platform this program was built for (hidapi over hidraw on Linux, the
// HID class driver through setupapi on Windows).
[[nodiscard]] std::unique_ptr<HidBackend> MakePlatformHidBackend();

// The USB device-change notifications of the platform (the udev monitor on Linux, a
// message-only window registered for USB device interfaces on Windows).
[[nodiscard]] std::unique_ptr<HotplugSource> MakePlatformHotplugSource();

}  // namespace qz
