#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "hid/hid_backend.h"

namespace qz {

class Clock;

// Size of the request and reply buffers of a link that is not sized for a longer report: the
// command layouts are built for 64-byte reports.
inline constexpr std::size_t kReportBufferSize = 64;

// The dialog's one connection to the chip. Where Windows keeps a write handle and a second,
// overlapped read handle, here one open HidDevice serves both directions: both "handles" are
// valid exactly when `device` is set.
struct HidLink {
  HidBackend* backend = nullptr;          // not owned
  Clock* clock = nullptr;                 // not owned; pauses of the command reports
  std::unique_ptr<HidDevice> device;      // the open interface, or null
  std::uint16_t InputReportLength = 0;    // report-ID byte included
  std::uint16_t OutputReportLength = 0;   // report-ID byte included
  // Request and reply buffers: 64 bytes from the start, grown by OpenHidDevice when a device
  // declares longer reports, so a report never runs past its buffer. Never sized per transfer.
  std::vector<std::uint8_t> request = std::vector<std::uint8_t>(kReportBufferSize);
  std::vector<std::uint8_t> reply = std::vector<std::uint8_t>(kReportBufferSize);

  [[nodiscard]] bool IsOpen() const { return device != nullptr; }
};

// Read time-out of one input report.
inline constexpr int kReadTimeoutMs = 5000;
// Interfaces examined by one search at most.
inline constexpr int kMaxInterfaces = 256;
// Shortest reports the command layouts fit in: requests use 16 bytes, replies 25.
inline constexpr std::uint16_t kMinOutputReportLength = 16;
inline constexpr std::uint16_t kMinInputReportLength = 25;

// Opens the first present interface with `vendor_id`/`product_id` (at most kMaxInterfaces
// examined). Returns 1 when the link is open (at once, without searching, when it already was),
// 0 otherwise; then both lengths are 0 and the link is closed. Stores the output and input
// report lengths through the two pointers (not on an already open link); null pointers give 0.
// A device whose reports are shorter than kMinOutputReportLength / kMinInputReportLength, or
// whose lengths cannot be learnt, is skipped like one that does not match.
[[nodiscard]] int OpenHidDevice(HidLink& link, std::uint16_t vendor_id, std::uint16_t product_id,
                                std::uint16_t* output_length, std::uint16_t* input_length);

// Writes OutputReportLength bytes of `report`. Returns the bytes written, or -1 (also when the
// link is closed or OutputReportLength is 0).
int WriteOutputReport(HidLink& link, const std::uint8_t* report);

// Reads one input report into `buffer` (at least InputReportLength bytes): the count (>= 1),
// 0 when no read could be made, -1 when none arrived within kReadTimeoutMs.
[[nodiscard]] int ReadInputReport(HidLink& link, std::uint8_t* buffer);

// Closes the device; the report lengths keep their values.
void CloseHidLink(HidLink& link);

}  // namespace qz
