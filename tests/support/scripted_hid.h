#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/hid_backend.h"
#include "hid/hid_link.h"

namespace qz::test {

// One expected exchange with the device.
struct ScriptRow {
  enum class Kind {
    kOut,         // the host writes a report: `bytes`, then zeros up to the output length
    kWriteFails,  // the same, but the write fails (-1)
    kIn,          // a read delivers `bytes` zero-padded to the input length (a full report)
    kInShort,     // a read delivers exactly `bytes` (the rest of the host's buffer untouched)
    kTimeout,     // a read brings nothing within its time-out (-1)
    kNoRead,      // a read cannot be made (0)
  };
  Kind kind = Kind::kOut;
  std::vector<std::uint8_t> bytes;
};

ScriptRow Out(std::initializer_list<std::uint8_t> bytes);
ScriptRow WriteFails(std::initializer_list<std::uint8_t> bytes);
ScriptRow In(std::vector<std::uint8_t> bytes);
ScriptRow InShort(std::vector<std::uint8_t> bytes);
ScriptRow Timeout();
ScriptRow NoRead();
// A full reply report: sequence byte at offset 7, `value` (register value or EEPROM length) at 8,
// `data` from 9.
ScriptRow Reply(std::uint8_t sequence, std::uint8_t value, std::vector<std::uint8_t> data = {});

// One interface the scripted bus lists.
struct ScriptedInterface {
  HidDeviceInfo info;
  std::uint16_t input_length = 64;   // report-ID byte included
  std::uint16_t output_length = 64;  // report-ID byte included
  bool openable = true;
};

// A HID backend whose device follows a transcript: each write and read must be the next row.
// The first deviation fails the running test with the row index and a hex diff; from then on
// writes fail and reads time out, so the code under test ends quickly. Whichever listed
// interface is opened plays the same transcript. Thread-safe.
class ScriptedHid final : public HidBackend {
 public:
  // Lists one interface, 1D6C:6841 at "scripted:0", with 64-byte reports.
  explicit ScriptedHid(std::vector<ScriptRow> script = {});

  void SetInterfaces(std::vector<ScriptedInterface> interfaces);
  void Append(std::vector<ScriptRow> rows);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  // Success when every row has been played and nothing deviated.
  [[nodiscard]] testing::AssertionResult Finished() const;
  [[nodiscard]] std::vector<std::string> OpenedPaths() const;  // every Open call, in order
  [[nodiscard]] std::size_t RowsPlayed() const;
  [[nodiscard]] std::size_t Writes() const;
  [[nodiscard]] std::size_t Reads() const;
  [[nodiscard]] std::chrono::milliseconds LastReadTimeout() const;

  // Opens the link on this backend: sets link.backend and searches the first listed identity.
  bool OpenLink(HidLink& link);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Hex dump of `bytes`, 16 per line, each line led by its offset.
std::string HexDump(const std::vector<std::uint8_t>& bytes);

}  // namespace qz::test
