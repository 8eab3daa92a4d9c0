#include "hid/platform/hidapi_backend.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "hid/report_descriptor.h"

namespace qz {

namespace {

// The kernel's limit on a HID report descriptor.
constexpr std::size_t kMaxReportDescriptorSize = 4096;

std::vector<std::uint8_t> ReadReportDescriptor(const std::string& device_path) {
  const std::string sysfs_path = HidrawReportDescriptorPath(device_path);
  if (sysfs_path.empty()) return {};
  std::ifstream file(sysfs_path, std::ios::binary);
  if (!file) return {};
  std::vector<std::uint8_t> bytes(kMaxReportDescriptorSize);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
  return bytes;
}

// The hidraw node's name ("hidraw3") from its path, or empty.
std::string_view HidrawNodeName(std::string_view device_path) {
  constexpr std::string_view kPrefix = "/dev/";
  constexpr std::string_view kNode = "hidraw";
  if (!device_path.starts_with(kPrefix)) return {};
  const std::string_view name = device_path.substr(kPrefix.size());
  if (!name.starts_with(kNode) || name.size() == kNode.size()) return {};
  const std::string_view number = name.substr(kNode.size());
  if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  return name;
}

// hidapi's wide strings hold code points; this system speaks UTF-8.
std::string Utf8FromWide(const wchar_t* text) {
  std::string utf8;
  if (text == nullptr) return utf8;
  for (; *text != L'\0'; ++text) {
    const auto code = static_cast<std::uint32_t>(*text);
    if (code < 0x80) {
      utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x110000) {
      utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return utf8;
}

class HidapiDevice final : public HidDevice {
 public:
  HidapiDevice(hid_device* handle, const ReportDescriptorInfo& info,
               std::vector<std::uint8_t> descriptor)
      : handle_(handle), info_(info), descriptor_(std::move(descriptor)) {}
  ~HidapiDevice() override { hid_close(handle_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return info_.InputReportLength;
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return info_.OutputReportLength;
  }

  // hidapi takes the report ID first (0 for a device without numbered reports), as we do.
  int Write(std::span<const std::uint8_t> report) override {
    const int written = hid_write(handle_, report.data(), report.size());
    return written < 0 ? -1 : written;
  }

  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    const std::span<std::uint8_t> target = HidapiReadTarget(report, info_.numbered_reports);
    if (target.empty()) return 0;
    const auto milliseconds = static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INT_MAX));
    const int result = hid_read_timeout(handle_, target.data(), target.size(), milliseconds);
    return FinishHidapiRead(report, info_.numbered_reports, result);
  }

  [[nodiscard]] std::vector<std::uint8_t> ReportDescriptor() const override { return descriptor_; }

 private:
  hid_device* handle_;
  ReportDescriptorInfo info_;
  std::vector<std::uint8_t> descriptor_;
};

}  // namespace

HidapiBackend::HidapiBackend(std::string sysfs_root) : HidapiBackend() {
  sysfs_root_ = std::move(sysfs_root);
}

HidapiBackend::HidapiBackend() {
  // hid_init is not reference-counted; one call serves the whole process.
  static const int initialised = hid_init();
  static_cast<void>(initialised);
}

std::vector<HidDeviceInfo> HidapiBackend::Enumerate() {
  std::vector<HidDeviceInfo> interfaces;
  hid_device_info* list = hid_enumerate(0, 0);
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    HidDeviceInfo info;
    info.path = entry->path != nullptr ? entry->path : "";
    info.vendor_id = entry->vendor_id;
    info.product_id = entry->product_id;
    info.port = HidrawUsbPort(info.path, sysfs_root_);
    info.serial = Utf8FromWide(entry->serial_number);
    interfaces.push_back(std::move(info));
  }
  hid_free_enumeration(list);
  return interfaces;
}

std::unique_ptr<HidDevice> HidapiBackend::Open(const std::string& path) {
  hid_device* handle = hid_open_path(path.c_str());
  if (handle == nullptr) return nullptr;
  const std::vector<std::uint8_t> descriptor = ReadReportDescriptor(path);
  // Unreadable descriptor: lengths stay 0 and the link does not take the device.
  const ReportDescriptorInfo info =
      descriptor.empty() ? ReportDescriptorInfo{} : ParseReportDescriptor(descriptor);
  return std::make_unique<HidapiDevice>(handle, info, descriptor);
}

std::string HidrawReportDescriptorPath(std::string_view device_path) {
  const std::string_view name = HidrawNodeName(device_path);
  if (name.empty()) return {};
  std::string path = "/sys/class/hidraw/";
  path.append(name);
  path.append("/device/report_descriptor");
  return path;
}

bool IsUsbPortName(std::string_view name) {
  const std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos) return false;
  const auto digits = [](std::string_view part) {
    return !part.empty() &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(name.substr(0, dash))) return false;
  std::string_view chain = name.substr(dash + 1);
  for (;;) {
    const std::size_t dot = chain.find('.');
    if (!digits(chain.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    chain.remove_prefix(dot + 1);
  }
}

std::string HidrawUsbPort(std::string_view device_path, const std::string& sysfs_root) {
  const std::string_view name = HidrawNodeName(device_path);
  if (name.empty()) return {};
  namespace fs = std::filesystem;
  std::error_code error;
  // The class link points into the device tree: .../usb1/1-4/1-4.2/1-4.2:1.0/0003:...:.../
  fs::path walk = fs::canonical(fs::path(sysfs_root) / "class" / "hidraw" / name / "device", error);
  if (error) return {};
  for (; walk.has_relative_path(); walk = walk.parent_path()) {
    const std::string component = walk.filename().string();
    if (IsUsbPortName(component)) return component;
  }
  return {};
}

std::span<std::uint8_t> HidapiReadTarget(std::span<std::uint8_t> report, bool numbered_reports) {
  if (report.empty()) return {};
  return numbered_reports ? report : report.subspan(1);
}

int FinishHidapiRead(std::span<std::uint8_t> report, bool numbered_reports, int hidapi_result) {
  if (hidapi_result == 0) return -1;  // nothing within the time-out
  if (hidapi_result < 0 || report.empty()) return 0;
  const std::span<std::uint8_t> target = HidapiReadTarget(report, numbered_reports);
  const int count = std::min(hidapi_result, static_cast<int>(target.size()));
  if (numbered_reports) return count;
  report[0] = 0;
  return count + 1;
}

}  // namespace qz
