#include "hid/platform/platform.h"
#include "hid/platform/win32_hid_backend.h"
#include "hid/platform/win32_hotplug.h"

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<Win32HidBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() {
  return std::make_unique<Win32HotplugSource>();
}

}  // namespace qz
