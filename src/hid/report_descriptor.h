#pragma once

#include <cstdint>
#include <span>

namespace qz {

// What the report lengths of a HID interface are, worked out from its report descriptor the way
// the Windows capability query reports them.
struct ReportDescriptorInfo {
  // Longest input / output / feature report in bytes plus one for the report-ID byte (counted
  // also when the device does not number its reports); 0 when there is no such report.
  std::uint16_t InputReportLength = 0;
  std::uint16_t OutputReportLength = 0;
  std::uint16_t FeatureReportLength = 0;
  // True when the descriptor declares report IDs: reports then start with their ID on the wire.
  bool numbered_reports = false;
  // False when the descriptor is truncated or inconsistent (unbalanced collections or
  // push/pop, report ID 0 or above 255, reserved item types). The lengths then cover the items
  // read up to that point.
  bool well_formed = true;
};

// Parses raw report-descriptor bytes. Pure; never reads outside `descriptor`, whatever it holds.
[[nodiscard]] ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace qz
