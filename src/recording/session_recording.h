#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "hid/hid_backend.h"

namespace qz::recording {

// The version of the line format below; a replay reads only its own.
inline constexpr int kRecordingFormat = 1;

// A recording is JSON Lines, one object per line, each with a "type":
//   "header"  first: "format", "program", "port", "vendor_id"/"product_id" (4 hex digits),
//             "mode" ("firmware"/"rom"), "input_report_length", "output_report_length",
//             "report_descriptor" (hex), "image_sha256" and "image_length" (never the image)
//   "out"     a report written: "index" (from 1, counting "out" and "in" together), "t" (µs
//             since the header), "bytes" (hex, report ID first; trailing zero bytes left out,
//             then "length" gives the report's whole length); "result" when the write did not
//             take the whole report (-1: failed)
//   "in"      a report read: "index", "t", "bytes" (and "length"), or instead a "result" of -1 (no
//             report within the time-out) or 0 (no read could be made)
//   "arrival" the chip showed up (again) on the bus: "t", "vendor_id", "product_id", "mode"
//   "removal" the chip left the bus: "t"
//   "power"   the port's power was switched: "t", "on" (true/false)
//   "end"     last: "reports" (how many "out" and "in" lines there are)
// A file without its "end" line was cut short.

// What is known of a session before any chip: the program and the image it writes.
struct SessionFacts {
  std::string program;       // "qz670x-mp-cli 1.2.0"
  std::string image_sha256;  // lower-case hex; "" without an image
  std::uint64_t image_length = 0;
};

// Hex of `bytes`, upper-case, no separators; and back (nullopt on anything but hex pairs).
[[nodiscard]] std::string BytesToHex(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::optional<std::vector<std::uint8_t>> HexToBytes(const std::string& text);
// "firmware" or "rom", by product ID.
[[nodiscard]] const char* ModeOfProductId(std::uint16_t product_id);

// Wraps another backend and records the session of the chip it shows: the header at the first
// open, every report written and read, the chip's arrivals and removals as the enumerations show
// them, and power switches the caller reports. Devices opened through it may be used from
// several threads; lines never interleave and each is flushed, so a recording of a run that
// dies keeps everything up to it (only its end line is missing). `inner` and `clock` outlive it.
class RecordingBackend final : public HidBackend {
 public:
  // Opens `path` for writing; nullptr with a reason in `error` when it cannot be.
  [[nodiscard]] static std::unique_ptr<RecordingBackend> Create(HidBackend& inner, Clock& clock,
                                                                const std::string& path,
                                                                SessionFacts facts,
                                                                std::string* error);
  RecordingBackend(HidBackend& inner, Clock& clock, std::unique_ptr<std::ostream> out,
                   SessionFacts facts);
  // Finish() if it has not run.
  ~RecordingBackend() override;

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  // The port's power was switched off or on (by whoever switches it).
  void RecordPower(bool on);
  void NotePower(bool on) override {
    // the chip left while the power was off: its removal comes before the power's return
    if (on) (void)Enumerate();
    RecordPower(on);
    inner_.NotePower(on);
  }
  // Writes the end line; false when the file could not be written. Runs once.
  [[nodiscard]] bool Finish();

  // The shared output, also held by the devices opened through the backend.
  class Sink;

 private:
  HidBackend& inner_;
  std::shared_ptr<Sink> sink_;
};

// A recording read back.
struct Recording {
  struct Entry {
    enum class Kind { kOut, kIn, kArrival, kRemoval, kPower };
    Kind kind = Kind::kOut;
    std::uint64_t index = 0;  // reports: from 1
    std::vector<std::uint8_t> bytes;
    int result = 0;  // reports: the byte count, -1 or 0
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    bool on = false;  // power
  };
  std::string program;
  std::string port;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t input_report_length = 0;
  std::uint16_t output_report_length = 0;
  std::vector<std::uint8_t> report_descriptor;
  std::string image_sha256;
  std::uint64_t image_length = 0;
  std::vector<Entry> entries;
  std::uint64_t reports = 0;
};

// Reads a recording; nullopt with a reason naming `path` (and the line) when the file cannot
// be read, is of another format version, or is cut short or damaged.
[[nodiscard]] std::optional<Recording> LoadRecording(const std::string& path, std::string* error);

// Text of one report for a message: "OUT 00 F0 ..." as a trace shows it, or the result.
[[nodiscard]] std::string DescribeReport(const Recording::Entry& entry);

}  // namespace qz::recording
