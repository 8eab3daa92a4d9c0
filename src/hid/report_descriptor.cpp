#include "hid/report_descriptor.h"

#include <array>
#include <cstddef>
#include <limits>

namespace qz {

namespace {

// Item prefix fields.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;
constexpr std::uint8_t kTypeLocal = 2;
// Main item tags.
constexpr std::uint8_t kTagInput = 0x8;
constexpr std::uint8_t kTagOutput = 0x9;
constexpr std::uint8_t kTagCollection = 0xA;
constexpr std::uint8_t kTagFeature = 0xB;
constexpr std::uint8_t kTagEndCollection = 0xC;
// Global item tags.
constexpr std::uint8_t kTagReportSize = 0x7;
constexpr std::uint8_t kTagReportId = 0x8;
constexpr std::uint8_t kTagReportCount = 0x9;
constexpr std::uint8_t kTagPush = 0xA;
constexpr std::uint8_t kTagPop = 0xB;
// Deeper push stacks than this are not met in real descriptors; deeper pushes are ignored.
constexpr std::size_t kMaxPushDepth = 16;

struct GlobalState {
  std::uint32_t report_size = 0;   // bits per field
  std::uint32_t report_count = 0;  // fields
  std::uint8_t report_id = 0;
};

// Report bits per report ID of one kind (input, output or feature).
struct ReportBits {
  std::array<std::uint64_t, 256> bits{};
  bool any = false;

  void Add(std::uint8_t id, std::uint64_t more) {
    any = true;
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - bits[id];
    bits[id] = more > room ? std::numeric_limits<std::uint64_t>::max() : bits[id] + more;
  }

  // Longest report in bytes plus the report-ID byte, capped to 16 bits.
  [[nodiscard]] std::uint16_t Length() const {
    if (!any) return 0;
    std::uint64_t longest = 0;
    for (const std::uint64_t b : bits) {
      const std::uint64_t bytes = b / 8 + (b % 8 != 0 ? 1 : 0);
      if (bytes > longest) longest = bytes;
    }
    constexpr std::uint64_t kCap = std::numeric_limits<std::uint16_t>::max() - 1;
    return static_cast<std::uint16_t>((longest > kCap ? kCap : longest) + 1);
  }
};

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  ReportDescriptorInfo info;
  ReportBits input;
  ReportBits output;
  ReportBits feature;
  GlobalState globals;
  std::array<GlobalState, kMaxPushDepth> pushed{};
  std::size_t push_depth = 0;
  std::size_t collection_depth = 0;

  const std::size_t size = descriptor.size();
  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t prefix = descriptor[pos];
    if (prefix == kLongItemPrefix) {
      // Long item: prefix, data size, tag, data. No long item tags are defined; skip it.
      if (size - pos < 3 || size - pos - 3 < descriptor[pos + 1]) {
        info.well_formed = false;
        break;
      }
      pos += 3 + std::size_t{descriptor[pos + 1]};
      continue;
    }

    const std::size_t data_size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (size - pos - 1 < data_size) {
      info.well_formed = false;
      break;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data_size; ++i) {
      value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
    }
    pos += 1 + data_size;

    const auto type = static_cast<std::uint8_t>((prefix >> 2) & 3);
    const auto tag = static_cast<std::uint8_t>(prefix >> 4);
    if (type == kTypeMain) {
      const std::uint64_t bits = std::uint64_t{globals.report_size} * globals.report_count;
      switch (tag) {
        case kTagInput: input.Add(globals.report_id, bits); break;
        case kTagOutput: output.Add(globals.report_id, bits); break;
        case kTagFeature: feature.Add(globals.report_id, bits); break;
        case kTagCollection: ++collection_depth; break;
        case kTagEndCollection:
          if (collection_depth == 0) {
            info.well_formed = false;
          } else {
            --collection_depth;
          }
          break;
        default: info.well_formed = false; break;
      }
    } else if (type == kTypeGlobal) {
      switch (tag) {
        case kTagReportSize: globals.report_size = value; break;
        case kTagReportCount: globals.report_count = value; break;
        case kTagReportId:
          if (value == 0 || value > 255) {
            info.well_formed = false;
          } else {
            globals.report_id = static_cast<std::uint8_t>(value);
            info.numbered_reports = true;
          }
          break;
        case kTagPush:
          if (push_depth == pushed.size()) {
            info.well_formed = false;
          } else {
            pushed[push_depth++] = globals;
          }
          break;
        case kTagPop:
          if (push_depth == 0) {
            info.well_formed = false;
          } else {
            globals = pushed[--push_depth];
          }
          break;
        default: break;  // usage page, logical and physical extents, unit: no effect on lengths
      }
    } else if (type != kTypeLocal) {
      info.well_formed = false;  // reserved item type
    }
  }
  if (collection_depth != 0 || push_depth != 0) info.well_formed = false;

  info.InputReportLength = input.Length();
  info.OutputReportLength = output.Length();
  info.FeatureReportLength = feature.Length();
  return info;
}

}  // namespace qz
