#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dialog/dialog_controls.h"
#include "dialog/write_outcome.h"
#include "station/replug_handler.h"

namespace qz {
class CQZ670xWriteEepromMPUtyDlg;
class HidBackend;
class HeadlessControls;
}  // namespace qz

namespace qz::station {

// How one unit ended, as a number: 0 OK, 1..12 the worker's numbered outcomes, 13 the silent end,
// then the steps before the job. The command line exits with it.
enum class Exit : int {
  kOk = 0,
  kHeaderReadAfterCommit = 13,
  kImageRejected = 20,
  kOverrideRejected = 21,
  kNoChip = 22,
  kEraseOrPrepareFailed = 23,
  kUpdateFileNotWritten = 24,
  kTimeout = 25,
  kJobRefused = 26,  // a production job that may not run here (unreadable, altered, untrusted)
  kPowerReplugFailed = 27,
  kUsage = 64,
  kIoError = 74,
  kConfig = 78,  // the station configuration cannot be used
};

// The operator's choices for one unit, as the dialog's controls would hold them.
struct UnitChoices {
  std::string image;          // origin path (edit 1000)
  // The origin file's bytes when they come from a production job rather than from `image`.
  std::shared_ptr<const std::vector<std::uint8_t>> image_bytes;
  bool factory = false;       // Factory mode, else Developer mode
  bool evb = false;           // evaluation-board IDs
  std::string vid = "1D6C";   // target IDs (hex)
  std::string pid = "6841";
  // Checks override boxes and fills their edits (the descriptor options); may be empty.
  std::function<void(DialogControls&)> overrides;
  // This unit's serial-number override, given after `overrides`.
  std::optional<std::string> serial;
};

// Where a stop request ended a unit.
enum class StoppedBy { kNothing, kBeforeTheWrite, kAfterTheErase, kDuringTheJob };

// What runs around one unit; every member may be empty.
struct UnitHooks {
  // Each message box, verbatim, on the thread that shows it, before the re-plug wait.
  std::function<void(const MessageBoxRequest&)> on_message;
  // Each progress position (worker or this thread).
  std::function<void(int percent)> on_progress;
  // True once the unit must stop as a confirmed Exit stops it (looked at while waiting).
  std::function<bool()> stop;
  // Called once, on this thread, when `stop` ended the unit, with where it did.
  std::function<void(StoppedBy)> on_stopped;
  // Called when the re-plug wait begins and ends (the chip is back, or the wait gave up).
  std::function<void(bool waiting)> on_replug_wait;
  // How long to wait for the chip to come back in ROM mode after the erase.
  Clock::Duration replug_timeout = std::chrono::seconds(60);
  // Who re-plugs the chip after the erase (not owned; null: the operator).
  ReplugHandler* replug = nullptr;
  // The whole bus, to see where the chip comes back (null: the dialog's backend).
  HidBackend* bus = nullptr;
  // The chip's USB device ("1-4.2"; "" : the port of the chip the dialog's backend lists).
  std::string device;
  // One line each: the port's power is being switched; or why the operator re-plugs instead
  // (once a port), or why the re-plug by power failed.
  std::function<void(const std::string& text)> on_power;
};

// What one unit gave.
struct UnitResult {
  WriteRequestResult request;
  JobReport job;
  bool string_area_failed = false;  // the image's string area, not an override, was refused
  bool replug_timed_out = false;
  bool power_replug_failed = false;  // `--replug power` could not re-plug the chip
  std::string replug;                // "operator", "power", or "" when no re-plug happened
  StoppedBy stopped_by = StoppedBy::kNothing;
  bool exited = false;         // the dialog's Exit sequence ran (the stop); it takes no more units
  bool eeprom_touched = false;  // the erase was sent or the job may have written
  Exit exit = Exit::kIoError;
  std::string message;         // the last message box's text ("" when none)
  std::string detail;          // that box's detail: why, or what the outcome means
};

// Runs one "Write EEPROM" on `dialog` (initialised, its worker running): the choices go into the
// controls, the button is clicked, a re-plug message is answered once the chip is back in ROM
// mode, and this thread plays the UI thread until the job has closed. A stop ends the wait and
// runs the Exit sequence. The one road of `write` and of every station port.
[[nodiscard]] UnitResult RunUnit(CQZ670xWriteEepromMPUtyDlg& dialog, HeadlessControls& controls,
                                 const UnitChoices& choices, const UnitHooks& hooks);

// The USB device of the first chip of ours that `bus` lists ("" when none or unknown).
[[nodiscard]] std::string ChipDevice(HidBackend& bus);

// The one table from where a write stopped to its exit status.
[[nodiscard]] Exit ExitFor(const WriteRequestResult& request, const JobReport& job,
                           bool string_area_failed);

}  // namespace qz::station
