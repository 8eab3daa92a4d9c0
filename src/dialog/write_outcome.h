#pragma once

#include <cstdint>
#include <string_view>

namespace qz {

// Where the last "Write EEPROM" request stopped. Every step before kRaised gave up and enabled
// button 1002 again; kRaised means the job was handed to the worker.
enum class WriteRequestStep {
  kNotRun,
  kLoadImage,          // the origin file was rejected
  kDescriptorUpdates,  // an override was rejected, or the string area could not be rewritten
  kHeaderCheck,        // the patched image failed the header check ("Fw Error!")
  kErase,              // the erase step failed
  kCancelled,          // the request was cancelled while one of its message boxes was open
  kPrepareWriteMode,   // the mode preparation failed
  kSearch,             // the last search found no chip
  kRaised,             // WriteRequested set; the worker owns the job
};

// What the UI thread learnt about the last request.
struct WriteRequestResult {
  WriteRequestStep stopped_at = WriteRequestStep::kNotRun;
  bool chip_not_found = false;  // a device search of this request found no chip
  bool string_area_refused = false;  // the image's string area, not an override, was refused
};

// How the last write job ended: 0 "Write to EEPROM OK!", 1..12 the numbered failure, or
// kJobOutcomeSilent when the header read after the commit failed (no message).
inline constexpr int kJobOutcomeNone = -1;
inline constexpr int kJobOutcomeOk = 0;
inline constexpr int kJobOutcomeSilent = 13;

// The last job's outcome, with the first differing byte when a comparison failed.
struct JobReport {
  int outcome = kJobOutcomeNone;
  int mismatch_address = -1;  // EEPROM address of the first difference, or -1
  std::uint8_t expected = 0;  // byte of the image there
  std::uint8_t actual = 0;    // byte read back there
  std::uint32_t transfers = 0;  // EEPROM transfers the job attempted
};

// What outcome 1..12 means and what to check on the line, in one line; "" for any other
// outcome. The message itself stays the system's; this goes beside it (terminal, JSON Lines,
// the station's tiles, the log's rows).
[[nodiscard]] std::string_view ExplainJobOutcome(int outcome);

}  // namespace qz
