#include "hid/platform/platform.h"

namespace qz {

std::unique_ptr<HidBackend> MakePlatformHidBackend() { return std::make_unique<NullHidBackend>(); }

std::unique_ptr<HotplugSource> MakePlatformHotplugSource() { return nullptr; }

}  // namespace qz
