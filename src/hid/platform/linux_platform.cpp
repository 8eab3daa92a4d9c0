#include "hid/platform/hidapi_backend.h"
#include "hid/platform/platform.h"
#include "hid/platform/udev_hotplug.h"

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<HidapiBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() {
  return std::make_unique<UdevHotplugSource>();
}

void UseFinePlatformTimer() {}

}  // namespace qz
