#include <span>

#include "fuzz_entries.h"
#include "hid/report_descriptor.h"

namespace qz::fuzz {

int FuzzReportDescriptor(const std::uint8_t* data, std::size_t size) {
  const ReportDescriptorInfo info = ParseReportDescriptor(std::span(data, size));
  // the parse is pure: it depends on the bytes alone
  const ReportDescriptorInfo again = ParseReportDescriptor(std::span(data, size));
  Require(info.InputReportLength == again.InputReportLength &&
              info.OutputReportLength == again.OutputReportLength &&
              info.FeatureReportLength == again.FeatureReportLength &&
              info.numbered_reports == again.numbered_reports &&
              info.well_formed == again.well_formed,
          "the same descriptor parses the same way twice");
  return 0;
}

}  // namespace qz::fuzz
