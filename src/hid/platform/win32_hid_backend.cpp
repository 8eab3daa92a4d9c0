#include "hid/platform/win32_hid_backend.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "hid/hid_link.h"

namespace qz {

const Win32HidApi& SystemWin32HidApi() {
  static const Win32HidApi api{
      HidD_GetHidGuid,       SetupDiGetClassDevsA,   SetupDiEnumDeviceInterfaces,
      SetupDiGetDeviceInterfaceDetailA, SetupDiDestroyDeviceInfoList, HidD_GetAttributes,
      HidD_GetSerialNumberString, HidD_GetPreparsedData, HidP_GetCaps,           HidD_FreePreparsedData,
      CreateFileA,           WriteFile,              ReadFile,
      GetOverlappedResult,   CancelIo,               CreateEventA,
      ResetEvent,            WaitForSingleObject,    CloseHandle,
      SetLastError,          GetLastError,
  };
  return api;
}

DWORD WaitMilliseconds(long long milliseconds) {
  return static_cast<DWORD>(std::clamp<long long>(milliseconds, 0, INFINITE - 1));
}

namespace {

// Status of a successful HidP_ call.
constexpr NTSTATUS kHidpStatusSuccess = 0x00110000;

// Closes `handle` when it is valid and sets it back to INVALID_HANDLE_VALUE.
void CloseIfValid(const Win32HidApi& api, HANDLE& handle) {
  if (IsValidHandle(handle)) (void)api.CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// Both opens share the device with other readers and writers (the class driver keeps one
// report queue per handle).
HANDLE OpenPath(const Win32HidApi& api, const std::string& path, DWORD flags) {
  return api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                         nullptr);
}

// The device's serial-number string in UTF-8; empty when it has none. The class driver caps
// USB strings at 126 UTF-16 units plus the terminator.
std::string SerialNumber(const Win32HidApi& api, HANDLE handle) {
  wchar_t text[127] = {};
  if (!api.GetSerialNumberString(handle, text, sizeof text - sizeof text[0])) return {};
  char utf8[127 * 3 + 1] = {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  return bytes > 0 ? std::string(utf8) : std::string();
}

// One HID interface opened twice: output reports go through the synchronous write handle,
// input reports come through the overlapped read handle and its manual-reset event.
class Win32HidDevice final : public HidDevice {
 public:
  Win32HidDevice(const Win32HidApi& api, HANDLE write_handle, HANDLE read_handle,
                 HANDLE read_event, std::uint16_t input_length, std::uint16_t output_length)
      : api_(api),
        write_handle_(write_handle),
        read_handle_(read_handle),
        read_event_(read_event),
        input_length_(input_length),
        output_length_(output_length) {
    read_overlapped_.hEvent = read_event_;
  }
  ~Win32HidDevice() override {
    CloseIfValid(api_, read_event_);
    CloseIfValid(api_, write_handle_);
    CloseIfValid(api_, read_handle_);
  }
  Win32HidDevice(const Win32HidDevice&) = delete;
  Win32HidDevice& operator=(const Win32HidDevice&) = delete;

  [[nodiscard]] std::uint16_t InputReportLength() const override { return input_length_; }
  [[nodiscard]] std::uint16_t OutputReportLength() const override { return output_length_; }

  // One synchronous write; the class driver wants exactly the output report length.
  int Write(std::span<const std::uint8_t> report) override {
    if (!IsValidHandle(write_handle_) || report.empty()) return -1;
    DWORD written = 0;
    const BOOL ok = api_.WriteFile(write_handle_, report.data(),
                                   static_cast<DWORD>(report.size()), &written, nullptr);
    return ok ? static_cast<int>(written) : -1;
  }

  // One overlapped read of the input report length, decided by the wait on the read event:
  // signalled gives the count, a time-out cancels the read (-1), anything else gives 0. The
  // event is reset before the read starts and again before returning.
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    if (!IsValidHandle(read_handle_) || input_length_ == 0 || !IsValidHandle(read_event_)) {
      return 0;
    }
    const DWORD length = std::min<DWORD>(input_length_, static_cast<DWORD>(report.size()));
    (void)api_.ResetEvent(read_event_);
    DWORD count = 0;
    // The call's own result is not looked at: the wait decides.
    (void)api_.ReadFile(read_handle_, report.data(), length, &count, &read_overlapped_);
    const DWORD waited = api_.WaitForSingleObject(read_event_, WaitMilliseconds(timeout.count()));
    int result = 0;
    if (waited == WAIT_OBJECT_0) {
      // Completed after the call returned: the overlapped record holds the real count. A
      // read that ended in an error (the device went away) brought no report, so it is not
      // taken as a full one.
      if (count == 0 &&
          !api_.GetOverlappedResult(read_handle_, &read_overlapped_, &count, FALSE)) {
        count = 0;
      }
      result = static_cast<int>(std::min(count, length));
    } else if (waited == WAIT_TIMEOUT) {
      // no read may stay outstanding on the one overlapped record
      (void)api_.CancelIo(read_handle_);
      DWORD ignored = 0;
      (void)api_.GetOverlappedResult(read_handle_, &read_overlapped_, &ignored, TRUE);
      result = -1;
    }
    (void)api_.ResetEvent(read_event_);
    return result;
  }

 private:
  const Win32HidApi& api_;
  HANDLE write_handle_;
  HANDLE read_handle_;
  HANDLE read_event_;
  OVERLAPPED read_overlapped_{};
  std::uint16_t input_length_;
  std::uint16_t output_length_;
};

}  // namespace

Win32HidBackend::Win32HidBackend(const Win32HidApi& api) : api_(api) {}

std::vector<HidDeviceInfo> Win32HidBackend::Enumerate() {
  std::vector<HidDeviceInfo> found;
  GUID hid_guid{};
  api_.GetHidGuid(&hid_guid);
  const HDEVINFO set =
      api_.GetClassDevs(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (!IsValidHandle(set)) return found;

  // The detail record's buffer, kept from one index to the next as the walk goes.
  std::unique_ptr<std::byte[]> detail_buffer;
  for (DWORD index = 0; index < static_cast<DWORD>(kMaxInterfaces); ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    api_.SetLastError(ERROR_SUCCESS);
    const BOOL enumerated =
        api_.EnumDeviceInterfaces(set, nullptr, &hid_guid, index, &interface_data);
    if (api_.GetLastError() == ERROR_NO_MORE_ITEMS) break;
    if (!enumerated) continue;

    // size query
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    DWORD required = 0;
    (void)api_.GetDeviceInterfaceDetail(set, &interface_data, nullptr, 0, &required, &info);
    if (api_.GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    // room for at least the fixed part, and a path that ends in its terminator
    const DWORD size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) + 1;
    detail_buffer.reset(new (std::nothrow) std::byte[size]());
    if (detail_buffer == nullptr) break;
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail_buffer.get());
    // the fixed part's size, not the size allocated
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    info.cbSize = sizeof info;
    if (!api_.GetDeviceInterfaceDetail(set, &interface_data, detail, size - 1, nullptr, &info)) {
      continue;
    }
    const std::string path(detail->DevicePath);

    // identity
    HANDLE handle = OpenPath(api_, path, 0);
    if (!IsValidHandle(handle)) continue;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    const bool known = api_.GetAttributes(handle, &attributes) != FALSE;
    const std::string serial = known ? SerialNumber(api_, handle) : std::string();
    CloseIfValid(api_, handle);
    if (!known) continue;
    // No port here: setupapi names the interface, not the hub port it hangs on.
    HidDeviceInfo entry;
    entry.path = path;
    entry.vendor_id = attributes.VendorID;
    entry.product_id = attributes.ProductID;
    entry.serial = serial;
    found.push_back(std::move(entry));
  }
  (void)api_.DestroyDeviceInfoList(set);
  return found;
}

std::unique_ptr<HidDevice> Win32HidBackend::Open(const std::string& path) {
  HANDLE write_handle = OpenPath(api_, path, 0);
  if (!IsValidHandle(write_handle)) return nullptr;

  // capabilities; the preparsed data goes back whatever the query says
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!api_.GetPreparsedData(write_handle, &preparsed)) {
    CloseIfValid(api_, write_handle);
    return nullptr;
  }
  HIDP_CAPS caps{};
  const NTSTATUS status = api_.GetCaps(preparsed, &caps);
  (void)api_.FreePreparsedData(preparsed);
  if (status != kHidpStatusSuccess) {
    CloseIfValid(api_, write_handle);
    return nullptr;
  }

  HANDLE read_handle = OpenPath(api_, path, FILE_FLAG_OVERLAPPED);
  if (!IsValidHandle(read_handle)) {
    CloseIfValid(api_, write_handle);
    return nullptr;
  }
  // manual reset, signalled at first, no name
  HANDLE read_event = api_.CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (!IsValidHandle(read_event)) {
    CloseIfValid(api_, read_handle);
    CloseIfValid(api_, write_handle);
    return nullptr;
  }
  return std::make_unique<Win32HidDevice>(api_, write_handle, read_handle, read_event,
                                          caps.InputReportByteLength,
                                          caps.OutputReportByteLength);
}

}  // namespace qz
