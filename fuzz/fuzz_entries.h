#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qz::fuzz {

// One fuzz target: an entry that takes any bytes, checks its properties and aborts with a
// message on stderr when one does not hold. Returns 0 (libFuzzer's convention).
using Entry = int (*)(const std::uint8_t* data, std::size_t size);

// An image file through loading, header check, descriptor overrides and Save BIN.
int FuzzImageFile(const std::uint8_t* data, std::size_t size);
// A HID report descriptor through the parser.
int FuzzReportDescriptor(const std::uint8_t* data, std::size_t size);
// A whole write job against a chip whose replies the input shapes, report by report.
int FuzzChipReplies(const std::uint8_t* data, std::size_t size);
// The command line's texts: fault specifications, hexadecimal texts, device paths.
int FuzzCommandLineTexts(const std::uint8_t* data, std::size_t size);
// A production job file's text through the parser, and base64.
int FuzzJobFile(const std::uint8_t* data, std::size_t size);

struct Target {
  std::string_view name;  // also the folder of its corpus and its regression inputs
  Entry entry;
};

inline constexpr std::array<Target, 5> kTargets = {{
    {"image", FuzzImageFile},
    {"report_descriptor", FuzzReportDescriptor},
    {"chip_replies", FuzzChipReplies},
    {"cli_texts", FuzzCommandLineTexts},
    {"job_file", FuzzJobFile},
}};

// Prints `what` and aborts when `holds` is false: the fuzzer keeps the input as a crash.
void Require(bool holds, std::string_view what);

}  // namespace qz::fuzz
