#pragma once

#include <cstdint>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "hid/hotplug.h"

namespace qz {

// USB device arrivals and removals from Windows: WM_DEVICECHANGE after RegisterDeviceNotificationA
// for the USB device interface class. Either on a window of the caller's (the dialog, whose
// procedure hands each WM_DEVICECHANGE to OnDeviceChange) or, without one, on a message-only
// window of its own that TakeEvents pumps. Every notification that carries a broadcast header
// is queued with its event type and header; the dialog's rule picks arrival and remove-complete
// of device interfaces. Use it on one thread: the one that calls Start.
class Win32HotplugSource final : public HotplugSource {
 public:
  // Registers on `window` when given (not owned), else on a message-only window of its own.
  explicit Win32HotplugSource(HWND window = nullptr);
  ~Win32HotplugSource() override;
  Win32HotplugSource(const Win32HotplugSource&) = delete;
  Win32HotplugSource& operator=(const Win32HotplugSource&) = delete;

  // Makes the window (when it is ours) and registers; false (nothing held) when either fails.
  bool Start() override;
  // Unregisters and destroys our own window.
  void Stop() override;
  // No descriptor on Windows: -1.
  [[nodiscard]] int PollFd() const override { return -1; }
  // Pumps our own window's messages, then hands over what was queued.
  [[nodiscard]] std::vector<DeviceChange> TakeEvents() override;

  // One WM_DEVICECHANGE (its wParam and lParam); queued only while started.
  void OnDeviceChange(WPARAM event_type, LPARAM data);
  // The window that receives the notifications, or null when not started.
  [[nodiscard]] HWND Window() const { return started_ ? window_ : nullptr; }

 private:
  HWND window_;
  bool own_window_;
  bool started_ = false;
  HDEVNOTIFY notification_ = nullptr;
  std::vector<DeviceChange> pending_;
};

}  // namespace qz
