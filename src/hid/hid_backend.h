#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qz {

// One present HID interface.
struct HidDeviceInfo {
  std::string path;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
};

// An open HID interface. Byte 0 of every report buffer is the report ID, in both directions,
// whatever the platform does underneath.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Longest input / output report in bytes, report-ID byte included (0 when unknown).
  [[nodiscard]] virtual std::uint16_t InputReportLength() const = 0;
  [[nodiscard]] virtual std::uint16_t OutputReportLength() const = 0;
  // Writes one output report; returns the bytes written, or -1 on failure.
  virtual int Write(std::span<const std::uint8_t> report) = 0;
  // Reads one input report into `report`: the byte count (at least 1) when a report arrived,
  // 0 when no read could be made, -1 when none arrived within `timeout`.
  virtual int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) = 0;
};

// The platform's HID layer: a list of present interfaces and a way to open one.
class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // Present HID interfaces in the platform's order.
  [[nodiscard]] virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  // Opens the interface at `path`; nullptr when it cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
};

}  // namespace qz

namespace qz {

// A platform without HID devices: lists none, opens none.
class NullHidBackend final : public HidBackend {
 public:
  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override { return {}; }
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string&) override { return nullptr; }
};

}  // namespace qz
