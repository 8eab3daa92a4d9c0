#include "hid/hid_link.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <utility>

namespace qz {

namespace {

// Grows a report buffer to hold `length` bytes; never shrinks it, so a link that once opened a
// long-report device keeps its buffers and reopening allocates nothing.
void SizeBuffer(std::vector<std::uint8_t>& buffer, std::uint16_t length) {
  const std::size_t wanted = std::max<std::size_t>(kReportBufferSize, length);
  if (buffer.size() < wanted) buffer.resize(wanted);
}

}  // namespace

// The walk keeps the observable rules of the Windows search: indices 0..255 in the platform's
// order, the first matching interface wins, a failed search leaves the link closed with both
// lengths 0. The platform's own steps (on Windows: the interface-detail size query, the
// attributes read through a first open, the second, overlapped open) sit in its backend, behind
// Enumerate and Open. Vendor and product ID are compared from the enumeration entry before
// opening, so a device that is not sought is never opened for I/O.
int OpenHidDevice(HidLink& link, std::uint16_t vendor_id, std::uint16_t product_id,
                  std::uint16_t* output_length, std::uint16_t* input_length) {
  if (output_length == nullptr || input_length == nullptr) return 0;
  if (link.IsOpen()) return 1;
  // No platform layer: like a device-information set that cannot be had, nothing changes.
  if (link.backend == nullptr) return 0;

  const std::vector<HidDeviceInfo> interfaces = link.backend->Enumerate();
  const std::size_t walk =
      std::min(interfaces.size(), static_cast<std::size_t>(kMaxInterfaces));
  for (std::size_t index = 0; index < walk; ++index) {
    const HidDeviceInfo& info = interfaces[index];
    if (info.vendor_id != vendor_id || info.product_id != product_id) continue;
    std::unique_ptr<HidDevice> device = link.backend->Open(info.path);
    if (device == nullptr) continue;
    const std::uint16_t input = device->InputReportLength();
    const std::uint16_t output = device->OutputReportLength();
    // Lengths 0 mean the capabilities could not be read; shorter reports cannot carry the
    // command layouts. Either way the interface is not taken.
    if (input < kMinInputReportLength || output < kMinOutputReportLength) continue;

    SizeBuffer(link.request, output);
    SizeBuffer(link.reply, input);
    link.InputReportLength = input;
    link.OutputReportLength = output;
    link.device = std::move(device);
    *input_length = input;
    *output_length = output;
    return 1;
  }

  link.device.reset();
  link.InputReportLength = 0;
  link.OutputReportLength = 0;
  *input_length = 0;
  *output_length = 0;
  return 0;
}

int WriteOutputReport(HidLink& link, const std::uint8_t* report) {
  if (!link.IsOpen() || link.OutputReportLength == 0 || report == nullptr) return -1;
  const int written = link.device->Write(std::span<const std::uint8_t>(report, link.OutputReportLength));
  return written < 0 ? -1 : std::min<int>(written, link.OutputReportLength);
}

int ReadInputReport(HidLink& link, std::uint8_t* buffer) {
  if (!link.IsOpen() || link.InputReportLength == 0 || buffer == nullptr) return 0;
  const int count = link.device->Read(std::span<std::uint8_t>(buffer, link.InputReportLength),
                                      std::chrono::milliseconds(kReadTimeoutMs));
  if (count == -1) return -1;
  if (count <= 0) return 0;
  // A device never hands back more than the report it was given room for.
  return std::min<int>(count, link.InputReportLength);
}

void CloseHidLink(HidLink& link) { link.device.reset(); }

}  // namespace qz
