#include "hid/platform/win32_hotplug.h"

#include <dbt.h>

namespace qz {

namespace {

// The USB device interface class (GUID_DEVINTERFACE_USB_DEVICE): every USB device, whatever its
// function, so a chip that re-enumerates in another mode is seen too.
constexpr GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

constexpr char kWindowClass[] = "QZ670xHotplugWindow";

LRESULT CALLBACK HotplugWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DEVICECHANGE) {
    auto* source =
        reinterpret_cast<Win32HotplugSource*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (source != nullptr) source->OnDeviceChange(wparam, lparam);
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

bool RegisterWindowClass() {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = HotplugWindowProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = kWindowClass;
  return RegisterClassExA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

Win32HotplugSource::Win32HotplugSource(HWND window)
    : window_(window), own_window_(window == nullptr) {}

Win32HotplugSource::~Win32HotplugSource() { Stop(); }

bool Win32HotplugSource::Start() {
  if (started_) return true;
  if (own_window_) {
    if (!RegisterWindowClass()) return false;
    window_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    if (window_ == nullptr) return false;
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  notification_ = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notification_ == nullptr) {
    if (own_window_) {
      DestroyWindow(window_);
      window_ = nullptr;
    }
    return false;
  }
  started_ = true;
  return true;
}

void Win32HotplugSource::Stop() {
  if (!started_) return;
  started_ = false;
  (void)UnregisterDeviceNotification(notification_);
  notification_ = nullptr;
  if (own_window_) {
    DestroyWindow(window_);
    window_ = nullptr;
  }
}

std::vector<DeviceChange> Win32HotplugSource::TakeEvents() {
  if (started_ && own_window_) {
    MSG message;
    while (PeekMessageA(&message, window_, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  std::vector<DeviceChange> events;
  events.swap(pending_);
  return events;
}

void Win32HotplugSource::OnDeviceChange(WPARAM event_type, LPARAM data) {
  if (!started_) return;
  DeviceChange change;
  change.event_type = static_cast<std::uint32_t>(event_type);
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (header == nullptr) {
    change.header.device_type = 0;  // DBT_DEVNODES_CHANGED and the like: no device named
  } else {
    change.header.size = header->dbch_size;
    change.header.device_type = header->dbch_devicetype;
    change.header.reserved = header->dbch_reserved;
  }
  pending_.push_back(change);
}

}  // namespace qz
