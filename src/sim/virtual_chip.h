#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hid/chip_identities.h"

namespace qz {
class Clock;
}

namespace qz::sim {

// EEPROM behind the chip, in bytes.
inline constexpr std::size_t kEepromBytes = 32768;
// Identities on the bus.
inline constexpr std::uint16_t kChipVendorId = kQzVendorId;
inline constexpr std::uint16_t kDefaultFirmwareProductId = kFirmwareProductId;
// Reports are 64 bytes, report-ID byte included, unless a test asks for other lengths.
inline constexpr std::uint16_t kDefaultReportLength = 64;
// Reports one open handle keeps unread at most; older ones are dropped (as hidraw does).
inline constexpr std::size_t kInputQueueLimit = 64;

// What the chip is running: its firmware from the EEPROM, or the boot ROM (EEPROM writable).
enum class ChipMode { kFirmware, kRom };

[[nodiscard]] const char* ModeName(ChipMode mode);  // "firmware" / "rom"

// A misbehaviour the chip can be told to show.
struct Fault {
  enum class Kind {
    kStatus,             // status register reads `value`
    kIdentity,           // identity registers read `value` (high byte 0x00B9, low byte 0x00B8)
    kNoReply,            // the `value`-th EEPROM transfer (from 1) is lost: not applied, no reply
    kStale,              // before the `value`-th EEPROM transfer's reply, a reply to another
                         // sequence byte (with inverted data) is queued
    kCorrupt,            // EEPROM byte at address `value` stores the written value XOR 0x01
    kNoReplyRegister,    // reads of register `value` are never answered
    kAbsent,             // no chip on the bus
    kLie,                // a write that covers address `value` is acknowledged, that byte is
                         // not stored
    kGarbage,            // the reply to the `value`-th EEPROM transfer is random bytes
    kDuplicate,          // the reply to the `value`-th EEPROM transfer comes twice
    kUnplug,             // the chip drops off the bus at the `value`-th EEPROM transfer (not
                         // applied, no reply) and comes back kUnplugPause later, in the mode
                         // it had
    kReplugFirmware,     // after an erase the chip comes back running its firmware
    kRandom,             // a schedule of the faults above drawn from seed `value`
                         // (RandomFaults); AddFault adds the schedule, not this entry
  };
  Kind kind = Kind::kStatus;
  std::uint32_t value = 0;

  friend bool operator==(const Fault&, const Fault&) = default;
};

// How long a chip taken off the bus by an unplug fault stays away (on the chip's clock).
inline constexpr std::chrono::milliseconds kUnplugPause{1500};

// Parses one fault text: "status=N", "identity=HEX", "no-reply@K", "stale@K", "corrupt@ADDR",
// "no-reply-reg=HEX", "absent", "lie@ADDR", "garbage@K", "dup@K", "unplug@K",
// "replug-firmware", "random=SEED". N, K, ADDR and SEED are decimal or 0x-prefixed
// hexadecimal; HEX is hexadecimal with or without 0x. Returns the fault, or nullopt with a
// readable reason in `error`.
[[nodiscard]] std::optional<Fault> ParseFault(std::string_view text, std::string* error);
// The text ParseFault reads back as `fault`.
[[nodiscard]] std::string FaultText(const Fault& fault);
// The schedule behind "random=SEED": one to three faults of every kind but kRandom, transfer
// numbers and addresses within a job over `job_bytes` EEPROM bytes (a multiple of 8, at least
// 16; the developer-mode length by default), drawn more often where the job's phases meet; the
// same list for the same seed on every platform. Faults that stop a job before its first EEPROM
// transfer are drawn rarely.
[[nodiscard]] std::vector<Fault> RandomFaults(std::uint32_t seed, std::uint16_t job_bytes = 0x4010);

// Chip construction knobs.
struct ChipOptions {
  std::uint16_t input_report_length = kDefaultReportLength;   // report-ID byte included
  std::uint16_t output_report_length = kDefaultReportLength;  // report-ID byte included
  std::uint8_t revision = 3;                                  // low nibble of the identity
  std::optional<ChipMode> forced_mode;                        // mode at plug-in, else from EEPROM
  // After the erase the chip drops off the bus and comes back from its ROM by itself (the
  // operator's re-plug, done at once); false: it keeps running until it is re-plugged, or its
  // port's power is switched off and on.
  bool replug_after_erase = true;
};

// A QZ670x chip with its serial EEPROM, as seen through HID reports. It decodes the command
// reports the host writes and answers them synchronously: every reply is queued on the open
// handles at once and taken by their next reads. It re-plugs itself after an erase. All state
// sits behind one mutex, so a worker thread and the UI thread may use it together.
class VirtualChip {
 public:
  // Handle of one open device, bound to the plug generation it was opened in.
  using HandleId = std::uint64_t;
  // Receives device-change event types (arrival / removal); called under the chip's lock, so it
  // must not call back into the chip.
  using PlugListener = std::function<void(std::uint32_t event_type)>;

  // A chip with an all-0xFF EEPROM, plugged in (ROM mode unless forced).
  explicit VirtualChip(Clock& clock, ChipOptions options = {});
  VirtualChip(const VirtualChip&) = delete;
  VirtualChip& operator=(const VirtualChip&) = delete;

  // --- EEPROM ------------------------------------------------------------------------
  [[nodiscard]] std::vector<std::uint8_t> Eeprom() const;
  // Stores `bytes` at `offset` (clipped to the EEPROM) without touching the mode.
  void SetEeprom(std::span<const std::uint8_t> bytes, std::size_t offset = 0);
  // Loads the EEPROM from `path` when the file exists (exactly kEepromBytes bytes, else an
  // error), else leaves it all 0xFF; then plugs in afresh without device-change events, so the
  // mode follows the loaded content. False with a reason in `error`.
  [[nodiscard]] bool LoadEeprom(const std::string& path, std::string* error);
  // Writes the EEPROM to `path` through a temporary file and a rename. False with a reason.
  [[nodiscard]] bool SaveEeprom(const std::string& path, std::string* error) const;

  // --- bus state ----------------------------------------------------------------------
  [[nodiscard]] bool Present() const;
  // Takes the chip off the bus (open handles die, removal event) or puts it back (arrival).
  void SetPresent(bool present);
  // Unplug and plug in again: removal, then arrival; the mode is worked out afresh.
  void Replug();
  // Mode at the next plug-in (nullopt: from the EEPROM header).
  void ForceMode(std::optional<ChipMode> mode);
  [[nodiscard]] ChipMode Mode() const;
  [[nodiscard]] std::uint16_t VendorId() const;
  [[nodiscard]] std::uint16_t ProductId() const;
  // Erased and still on the bus, waiting to be re-plugged (replug_after_erase off).
  [[nodiscard]] bool AwaitingReplug() const;
  // Counts plug-ins; handles opened in an earlier generation are dead.
  [[nodiscard]] std::uint64_t Generation() const;
  [[nodiscard]] std::uint16_t InputReportLength() const;
  [[nodiscard]] std::uint16_t OutputReportLength() const;
  void SetPlugListener(PlugListener listener);

  // --- faults and knobs ---------------------------------------------------------------
  void AddFault(const Fault& fault);
  // ParseFault + AddFault. False with a reason in `error`.
  [[nodiscard]] bool AddFault(std::string_view text, std::string* error);
  void ClearFaults();
  // Register contents as a read shows them (faults applied).
  [[nodiscard]] std::uint8_t Register(std::uint16_t address) const;
  void SetRegister(std::uint16_t address, std::uint8_t value);
  // EEPROM transfers decoded so far (lost ones included), since the chip was made.
  [[nodiscard]] std::uint64_t EepromTransfers() const;
  // Erase reports received so far, since the chip was made.
  [[nodiscard]] std::uint64_t EraseReports() const;
  // Every output report written so far, when recording is on (off by default).
  void SetRecordReports(bool record);
  [[nodiscard]] std::vector<std::vector<std::uint8_t>> WrittenReports() const;

  // --- device I/O, for the HID backend ------------------------------------------------
  // Opens a handle in the current generation; nullopt when the chip is absent.
  [[nodiscard]] std::optional<HandleId> OpenHandle();
  void CloseHandle(HandleId handle);
  // One output report: the bytes taken, or -1 when the handle is dead or the report empty.
  int Write(HandleId handle, std::span<const std::uint8_t> report);
  // One queued input report: its length; 0 on a dead handle; -1 after sleeping `timeout` on the
  // clock when nothing is queued.
  int Read(HandleId handle, std::span<std::uint8_t> report, std::chrono::milliseconds timeout);

 private:
  // Plugs in (a new generation); `mode` overrides the forced / EEPROM-derived mode.
  void PlugInLocked(bool notify, std::optional<ChipMode> mode);
  void UnplugLocked(bool notify);
  void HandleReportLocked(std::span<const std::uint8_t> request);
  void HandleEepromLocked(std::span<const std::uint8_t> request);
  void HandleRegisterLocked(std::span<const std::uint8_t> request);
  void HandleEraseLocked();
  void QueueReplyLocked(std::uint8_t sequence, std::uint8_t value,
                        std::span<const std::uint8_t> data);
  // Queues one input report, as it is, on every open handle.
  void QueueInputLocked(const std::vector<std::uint8_t>& reply);
  [[nodiscard]] std::uint8_t RegisterLocked(std::uint16_t address) const;
  [[nodiscard]] bool HasFaultLocked(Fault::Kind kind, std::uint32_t value) const;
  // Brings back a chip an unplug fault took away once its pause is over on the clock. Every
  // entry point that looks at the bus calls it first; const ones too, as the return is due.
  void CatchUpLocked() const;
  [[nodiscard]] std::optional<std::uint32_t> FaultValueLocked(Fault::Kind kind) const;
  [[nodiscard]] ChipMode ModeFromEepromLocked() const;
  [[nodiscard]] std::uint16_t FirmwareProductIdLocked(std::uint16_t* vendor_id) const;

  mutable std::mutex mutex_;
  Clock& clock_;
  const ChipOptions options_;
  std::vector<std::uint8_t> eeprom_;
  std::optional<ChipMode> forced_mode_;
  ChipMode mode_ = ChipMode::kRom;
  std::uint16_t vendor_id_ = kChipVendorId;
  std::uint16_t product_id_ = kRomProductId;
  bool present_ = true;
  std::uint64_t generation_ = 0;
  HandleId next_handle_ = 1;
  std::map<HandleId, std::deque<std::vector<std::uint8_t>>> queues_;  // open handles
  std::map<std::uint16_t, std::uint8_t> registers_;                    // writable registers
  std::vector<Fault> faults_;
  std::uint64_t eeprom_transfers_ = 0;
  std::uint64_t erase_reports_ = 0;
  int erases_this_plug_ = 0;
  bool erased_until_replug_ = false;  // erased without re-plugging itself (replug_after_erase off)
  bool record_reports_ = false;
  std::vector<std::vector<std::uint8_t>> written_reports_;
  PlugListener listener_;
  // A chip away after an unplug fault: when it comes back, and in which mode.
  std::optional<std::chrono::microseconds> return_at_;
  ChipMode return_mode_ = ChipMode::kRom;
};

}  // namespace qz::sim
