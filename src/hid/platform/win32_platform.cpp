#include "hid/platform/platform.h"
#include "hid/platform/win32_hid_backend.h"

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<Win32HidBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() { return nullptr; }

}  // namespace qz
