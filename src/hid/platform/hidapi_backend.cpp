#include "hid/platform/hidapi_backend.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <iterator>

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

class HidapiDevice final : public HidDevice {
 public:
  HidapiDevice(hid_device* handle, const ReportDescriptorInfo& info)
      : handle_(handle), info_(info) {}
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

 private:
  hid_device* handle_;
  ReportDescriptorInfo info_;
};

}  // namespace

HidapiBackend::HidapiBackend() {
  // hid_init is not reference-counted; one call serves the whole process.
  static const int initialised = hid_init();
  static_cast<void>(initialised);
}

std::vector<HidDeviceInfo> HidapiBackend::Enumerate() {
  std::vector<HidDeviceInfo> interfaces;
  hid_device_info* list = hid_enumerate(0, 0);
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    interfaces.push_back(HidDeviceInfo{entry->path != nullptr ? entry->path : "",
                                       entry->vendor_id, entry->product_id});
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
  return std::make_unique<HidapiDevice>(handle, info);
}

std::string HidrawReportDescriptorPath(std::string_view device_path) {
  constexpr std::string_view kPrefix = "/dev/";
  constexpr std::string_view kNode = "hidraw";
  if (!device_path.starts_with(kPrefix)) return {};
  const std::string_view name = device_path.substr(kPrefix.size());
  if (!name.starts_with(kNode) || name.size() == kNode.size()) return {};
  const std::string_view number = name.substr(kNode.size());
  if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  std::string path = "/sys/class/hidraw/";
  path.append(name);
  path.append("/device/report_descriptor");
  return path;
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
