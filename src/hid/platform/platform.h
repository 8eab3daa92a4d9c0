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

// Asks for the finest sleep granularity the platform gives this process, for the protocol's
// 3 ms pauses: Windows' timer period of 1 ms (its default of 15.6 ms would stretch every pause
// five-fold). Nothing where the sleeps are fine already (Linux: see UsePreciseSleeps).
void UseFinePlatformTimer();

}  // namespace qz
