// Device search, ROM-mode probe, device-change handling, erase and mode preparation: the steps
// of the write path that run on the UI thread.
#include <array>
#include <chrono>
#include <string>

#include "base/clock.h"
#include "base/hex_text.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/command_reports.h"

namespace qz {

namespace {

// Edits 1004/1005 are read through a 32-character buffer.
inline constexpr std::size_t kIdEditChars = 31;

// The chip needs a second after each erase command before it takes the next report.
inline constexpr std::chrono::milliseconds kErasePause{1000};
// Settling time around the mode-preparation report and the write-mode register.
inline constexpr std::chrono::milliseconds kPreparePause{100};

// Write-enable bit of the write-mode register: cleared to let the EEPROM be written.
inline constexpr std::uint8_t kWriteModeLockBit = 0x01;

}  // namespace

HResult CQZ670xWriteEepromMPUtyDlg::SearchDevice() {
  // the operator's target, as hexadecimal text; only the low 16 bits count
  SearchedVendorId =
      static_cast<std::uint16_t>(ParseHexText(controls_.GetText(ctl::kVendorId, kIdEditChars)));
  SearchedProductId =
      static_cast<std::uint16_t>(ParseHexText(controls_.GetText(ctl::kProductId, kIdEditChars)));
  ReadBackImage.Clear();

  DeviceOpen = static_cast<std::uint32_t>(OpenHidDevice(
      Link, SearchedVendorId, SearchedProductId, &OutputReportLengthCopy, &InputReportLengthCopy));
  if (DeviceOpen != 0) return S_OK;

  for (const UsbIdentity& identity : kFixedSearchIdentities) {
    SearchedVendorId = identity.vendor_id;
    SearchedProductId = identity.product_id;
    DeviceOpen = static_cast<std::uint32_t>(OpenHidDevice(Link, SearchedVendorId, SearchedProductId,
                                                          &OutputReportLengthCopy,
                                                          &InputReportLengthCopy));
    if (DeviceOpen != 0) return S_OK;
  }

  SearchedVendorId = 0xFFFF;
  SearchedProductId = 0xFFFF;
  last_request_.chip_not_found = true;
  ShowMessage(msg::kDeviceNotFound,
              NotInRomMode != 0 ? msg::kCaptionWriteNotInRom : msg::kCaptionWrite,
              MessageIcon::kStop, MessageAbout::kDeviceNotFound);
  return E_FAIL;
}

void CQZ670xWriteEepromMPUtyDlg::ProbeRomMode() {
  DeviceOpen = static_cast<std::uint32_t>(OpenHidDevice(Link, kRomIdentities[0].vendor_id,
                                                        kRomIdentities[0].product_id,
                                                        &OutputReportLengthCopy,
                                                        &InputReportLengthCopy));
  if (DeviceOpen != 0) {
    NotInRomMode = 0;
  } else {
    DeviceOpen = static_cast<std::uint32_t>(OpenHidDevice(Link, kRomIdentities[1].vendor_id,
                                                          kRomIdentities[1].product_id,
                                                          &OutputReportLengthCopy,
                                                          &InputReportLengthCopy));
    NotInRomMode = DeviceOpen != 0 ? 0 : 1;
  }
  ReleaseDevice();
}

bool CQZ670xWriteEepromMPUtyDlg::RegisterDeviceNotifications() {
  NotificationsRegistered = hotplug_ != nullptr && hotplug_->Start();
  return NotificationsRegistered;
}

std::uint32_t CQZ670xWriteEepromMPUtyDlg::OnDeviceChange(std::uint32_t event_type,
                                                         const DeviceBroadcastHeader* header) {
  const bool arrival_or_removal =
      event_type == kDbtDeviceArrival || event_type == kDbtDeviceRemoveComplete;
  if (arrival_or_removal && header != nullptr &&
      header->device_type == kDbtDevtypDeviceInterface) {
    ProbeOrDefer();
  }
  return 0;
}

std::size_t CQZ670xWriteEepromMPUtyDlg::DispatchHotplugEvents() {
  if (hotplug_ == nullptr) return 0;
  const std::vector<DeviceChange> changes = hotplug_->TakeEvents();
  for (const DeviceChange& change : changes) (void)OnDeviceChange(change.event_type, &change.header);
  return changes.size();
}

void CQZ670xWriteEepromMPUtyDlg::ProbeOrDefer() {
  // A job owns the link from WriteRequested until its close step: a probe now would open and
  // release the worker's device under it. The close step posts the probe back to this thread.
  if (JobActive()) {
    probe_deferred_.store(true);
    // The job may have closed between the two loads; then nobody else will take the probe.
    // (Sequentially consistent: this load must not move before the store above.)
    if (job_active_.load() || !probe_deferred_.exchange(false)) return;
  }
  ProbeRomMode();
}

HResult CQZ670xWriteEepromMPUtyDlg::EraseEeprom() {
  // The link belongs to a running job.
  if (JobActive()) return E_FAIL;

  bool erased = false;
  if (Succeeded(SearchDevice())) {
    HResult sent = SendEraseCommand(Link);
    clock_.SleepFor(kErasePause);
    if (Succeeded(sent)) {
      sent = SendEraseCommand(Link);
      clock_.SleepFor(kErasePause);
      erased = Succeeded(sent);
    }
  }

  // Let go of the device before either box: a probe raised while it is up (the re-plug, or a
  // chip that went away) must look at the bus, not at a stale open link.
  ReleaseDevice();
  if (erased) {
    // the re-plug step: whoever shows or handles this box brings the chip back in ROM mode
    ShowMessage(msg::kReplugDevice, msg::kCaptionErase, MessageIcon::kInformation,
                MessageAbout::kReplug);
  } else {
    ShowMessage(msg::kEepromCantBeWritten, msg::kCaptionErase, MessageIcon::kStop);
  }
  ReleaseDevice();
  return erased ? S_OK : E_FAIL;
}

HResult CQZ670xWriteEepromMPUtyDlg::PrepareWriteMode() {
  if (JobActive()) return E_FAIL;

  if (!Succeeded(SearchDevice())) {
    ReleaseDevice();
    return E_FAIL;
  }

  AdvanceRegisterSequence(ReportSequence);
  const HResult prepared = SendModePreparation(Link);
  clock_.SleepFor(kPreparePause);

  // Clear the lock bit of the write-mode register. The read carries the sequence value the
  // preparation report was counted with; a failed read or write goes unreported.
  std::uint8_t write_mode = 0;
  if (RegisterTransfer(Link, &write_mode, true, kRegWriteMode, ReportSequence)) {
    write_mode = static_cast<std::uint8_t>(write_mode & ~kWriteModeLockBit);
    AdvanceRegisterSequence(ReportSequence);
    (void)RegisterTransfer(Link, &write_mode, false, kRegWriteMode, ReportSequence);
  }
  clock_.SleepFor(kPreparePause);

  // Released before the box, for the same reason as in EraseEeprom.
  ReleaseDevice();
  if (!Succeeded(prepared)) {
    ShowMessage(msg::kEepromCantBeWritten, msg::kCaptionPrepare, MessageIcon::kStop);
  }
  return prepared;
}

void CQZ670xWriteEepromMPUtyDlg::ReleaseDevice() {
  if (DeviceOpen == 0) return;
  InputReportLengthCopy = 0;
  OutputReportLengthCopy = 0;
  CloseHidLink(Link);
  DeviceOpen = 0;
}

}  // namespace qz
