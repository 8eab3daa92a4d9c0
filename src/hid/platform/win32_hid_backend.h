#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hid/hid_backend.h"
#include "hid/platform/win32_hid_api.h"

namespace qz {

// The real HID layer on Windows: the HID class driver, found through setupapi. Each open device
// holds two handles to the same path, a synchronous one for output reports and an overlapped one
// for input reports, with its own manual-reset read event. It only translates; the search rules
// (first match among 256 interfaces, lengths, skipping) stay in OpenHidDevice.
class Win32HidBackend final : public HidBackend {
 public:
  // `api` must outlive the backend and every device it opens.
  explicit Win32HidBackend(const Win32HidApi& api = SystemWin32HidApi());

  // Walks the present HID interfaces by index 0..255, in setupapi's order. The walk ends at
  // ERROR_NO_MORE_ITEMS, at a detail-size query that does not answer ERROR_INSUFFICIENT_BUFFER,
  // or when a detail buffer cannot be had; an interface that cannot be enumerated, detailed,
  // opened or asked for its attributes is left out. Each listed interface was opened once for
  // its vendor and product ID and closed again.
  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  // Opens `path` twice (write handle, then overlapped read handle) after reading its report
  // lengths from the capabilities; nullptr when a handle cannot be opened or the capabilities
  // cannot be read (nothing stays open then).
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

 private:
  const Win32HidApi& api_;
};

// Read time-out of the link in milliseconds, as WaitForSingleObject takes it (clamped to
// 0..INFINITE-1).
[[nodiscard]] DWORD WaitMilliseconds(long long milliseconds);

}  // namespace qz
