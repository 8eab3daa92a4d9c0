#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "image/sample_image.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"

namespace qz::test {

// A HID layer between the dialog and the virtual chip that watches the link and can break the
// wire: it counts searches, opens and closes, can refuse the writes of chosen reports, and can
// spoil the data of one EEPROM read reply in transit (the chip itself answered correctly).
class LinkSpy final : public HidBackend {
 public:
  explicit LinkSpy(HidBackend& inner) : inner_(inner) {}

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  // Writes of reports for which `predicate` holds fail (-1) and never reach the chip.
  void FailWrites(std::function<bool(const std::uint8_t* report)> predicate);
  // The reply to the `number`-th EEPROM request (from 1, reads and writes counted together)
  // arrives with its first data byte inverted.
  void SpoilEepromReply(std::uint64_t number);

  [[nodiscard]] int Enumerations() const { return enumerations_.load(); }
  [[nodiscard]] int Opens() const { return opens_.load(); }
  [[nodiscard]] int Closes() const { return closes_.load(); }

 private:
  class Device;
  friend class Device;

  HidBackend& inner_;
  std::atomic<int> enumerations_{0};
  std::atomic<int> opens_{0};
  std::atomic<int> closes_{0};
  std::mutex mutex_;
  std::function<bool(const std::uint8_t*)> fail_writes_;
  std::uint64_t spoil_number_ = 0;
  std::uint64_t eeprom_requests_ = 0;
  std::optional<std::uint8_t> spoil_sequence_;
};

// True for the erase command and for the mode-preparation report.
bool IsEraseCommand(const std::uint8_t* report);
bool IsModePreparation(const std::uint8_t* report);

// A virtual chip on a simulated bus and the dialog over in-memory controls, on a manual clock.
// The test thread plays the UI thread; the default operator answers the re-plug message by
// letting the dialog see the device changes, as the window's message loop would.
class Rig {
 public:
  explicit Rig(sim::ChipOptions options = {});
  ~Rig();

  // Builds the dialog and runs its initialisation (worker, notifications, first probe).
  void Init();
  // Writes a generated image and puts its path into edit 1000.
  void UseImage(const SampleImageOptions& options = {});
  // Clicks "Write EEPROM" and plays the UI thread until the job has closed.
  void Write();
  // Plays the UI thread until the job has closed (button 1002 enabled again).
  void WaitForClose();
  // Destroys the dialog as it stands, without the Exit command.
  void DestroyDialog() { dialog_.reset(); }

  [[nodiscard]] CQZ670xWriteEepromMPUtyDlg& Dialog() { return *dialog_; }
  [[nodiscard]] std::vector<std::string> Texts() const { return controls.MessageTexts(); }

  ManualClock clock;
  sim::VirtualChip chip;
  sim::SimHidBackend sim_backend;
  LinkSpy spy;
  sim::SimHotplugSource hotplug;
  HeadlessControls controls;
  ScratchDir dir;
  std::vector<std::uint8_t> image;  // the bytes of the last UseImage

 private:
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
};

// "Write to EEPROM Fail!  Try Again!(code)".
[[nodiscard]] std::string FailureText(int code);

// The sequence byte after `register_steps` register-rule and then `eeprom_steps` EEPROM-rule
// advances from `start`.
[[nodiscard]] std::uint8_t SequenceAfter(std::uint8_t start, int register_steps, int eeprom_steps);

}  // namespace qz::test
