#include "hid/platform/hidraw_access.h"
#include "hid/platform/platform.h"
#include "hid/platform/win32_hid_backend.h"
#include "hid/platform/win32_hotplug.h"

#include <timeapi.h>

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<Win32HidBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() {
  return std::make_unique<Win32HotplugSource>();
}

void UseFinePlatformTimer() {
  // Once per process; the period stays until the process ends.
  static const bool asked = timeBeginPeriod(1) == TIMERR_NOERROR;
  (void)asked;
}

// The HID class driver lets every account open a HID interface, so a present chip is never
// refused for want of access here.
std::vector<std::string> UnopenableChipHints() { return {}; }

}  // namespace qz
