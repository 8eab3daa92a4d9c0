#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "sim/virtual_chip.h"

namespace qz::test {

// What the wire does to the replies the chip makes to one output report.
enum class WireAction : std::uint8_t {
  kPass,         // the replies as the chip made them
  kDrop,         // the report never reaches the chip: not applied, no reply
  kStale,        // each reply is preceded by a copy for the sequence byte before, data inverted
  kWrongLength,  // each reply arrives cut short (or, for an empty cut, as one byte)
  kNoise,        // each reply is replaced by pseudo-random bytes
  kDuplicate,    // each reply arrives twice
  kWithhold,     // the report is applied but its replies never arrive: the host's read times out
};
inline constexpr int kWireActions = 7;

// Decides, report by report, what the wire does. Not thread-safe; a job runs on one thread.
class WireScript {
 public:
  virtual ~WireScript() = default;
  // The action for the next output report.
  [[nodiscard]] virtual WireAction NextAction() = 0;
  // A byte for the action's details (the cut length, the noise seed).
  [[nodiscard]] virtual std::uint8_t NextByte() = 0;
};

struct JobRunOptions {
  // EEPROM bytes the job covers. The dialog chooses 0x4010 or 0x8000; shorter jobs (a multiple
  // of 8, at least 16) walk the same steps in fewer transfers.
  std::uint16_t write_length = 0x4010;
  std::optional<sim::ChipMode> start_mode;  // of the chip; default from its (blank) EEPROM
  std::vector<sim::Fault> faults;           // of the chip
  WireScript* script = nullptr;             // null: the wire passes everything
};

struct JobRunResult {
  bool job_started = false;   // the request got as far as handing over a job
  int outcome = 0;            // of the job (JobReport), when it started
  bool said_ok = false;       // "Write to EEPROM OK!" was shown
  bool eeprom_holds_image = false;  // the chip's EEPROM holds WriteImage over WriteLength
  bool released = false;      // device closed, every open handle closed, button 1002 enabled,
                              // no request flag left set, no job active
  Clock::Duration virtual_time{};   // from the click to the close, on the manual clock
  std::vector<std::string> messages;
};

// Clicks "Write EEPROM" on a freshly initialised dialog and runs the whole job to its close on
// the calling thread (the worker's phases in its loop order), against a virtual chip on a
// manual clock behind a wire that follows `options.script`. Uses a generated image written
// once per process under QZ_TEST_TMPDIR (or the system's temporary directory).
[[nodiscard]] JobRunResult RunWriteJob(const JobRunOptions& options);

// The same job shape as the faults' random schedules expect: see sim::RandomFaults.
inline constexpr std::uint16_t kShortJobLength = 0x110;

}  // namespace qz::test
