#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qz {

// One present HID interface.
struct HidDeviceInfo {
  HidDeviceInfo() = default;
  HidDeviceInfo(std::string path_in, std::uint16_t vendor_id_in, std::uint16_t product_id_in,
                std::string port_in = {}, std::string serial_in = {})
      : path(std::move(path_in)),
        vendor_id(vendor_id_in),
        product_id(product_id_in),
        port(std::move(port_in)),
        serial(std::move(serial_in)) {}

  std::string path;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  // USB port of the interface's USB device as the kernel names it (bus number and port chain,
  // "1-4.2"); the chip keeps it across an erase and re-plug, when its node and product ID change.
  // Empty when unknown.
  std::string port;
  // USB serial-number string of the device, UTF-8; empty when it has none.
  std::string serial;
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
  virtual int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) = 0;  // The interface's report descriptor as the device gave it; empty when not known here.
  [[nodiscard]] virtual std::vector<std::uint8_t> ReportDescriptor() const { return {}; }
};

// The platform's HID layer: a list of present interfaces and a way to open one.
class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // Present HID interfaces in the platform's order.
  [[nodiscard]] virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  // Opens the interface at `path`; nullptr when it cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
  // The power of the port the chip sits on was switched off or on. Backends that keep a record
  // of the session note it; layers in between hand it down.
  virtual void NotePower(bool /*on*/) {}
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
