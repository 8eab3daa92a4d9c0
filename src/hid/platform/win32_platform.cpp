#include "hid/platform/hidraw_access.h"
#include "hid/platform/platform.h"
#include "hid/platform/win32_hid_backend.h"
#include "hid/platform/win32_hotplug.h"

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<Win32HidBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() {
  return std::make_unique<Win32HotplugSource>();
}

// The HID class driver lets every account open a HID interface, so a present chip is never
// refused for want of access here.
std::vector<std::string> UnopenableChipHints() { return {}; }

}  // namespace qz
