#include "dialog/qz670x_dialog.h"


#include "base/clock.h"
#include "base/hex_text.h"
#include "dialog/control_table.h"
#include "dialog/dialog_controls.h"

namespace qz {

void DoneEvent::Signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_all();
}

bool DoneEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return signalled_; });
}

bool DoneEvent::IsSignalled() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

CQZ670xWriteEepromMPUtyDlg::CQZ670xWriteEepromMPUtyDlg(DialogControls& controls,
                                                       HidBackend& backend, Clock& clock,
                                                       HotplugSource* hotplug,
                                                       std::string app_name)
    : controls_(controls),
      backend_(backend),
      clock_(clock),
      hotplug_(hotplug),
      app_name_(std::move(app_name)) {
  Link.backend = &backend_;
  Link.clock = &clock_;
}

CQZ670xWriteEepromMPUtyDlg::~CQZ670xWriteEepromMPUtyDlg() {
  // The worker must never outlive the state it uses, however the dialog ends: StopWorker tells
  // it to stop, stops it waiting for this thread, and joins it.
  StopWorker();
  if (worker_thread_.joinable() && worker_thread_.get_id() != std::this_thread::get_id()) {
    worker_thread_.join();
  }
  DestroyWindow();
  CloseHidLink(Link);
}

void CQZ670xWriteEepromMPUtyDlg::ShowMessage(std::string_view text, std::string_view caption,
                                             MessageIcon icon, MessageAbout about,
                                             std::string detail) {
  MessageBoxRequest request;
  request.text = std::string(text);
  request.caption = caption.empty() ? app_name_ : std::string(caption);
  request.icon = icon;
  request.about = about;
  request.detail = std::move(detail);
  controls_.ShowMessage(request);
}

bool CQZ670xWriteEepromMPUtyDlg::OnInitDialog() {
  // expected firmware ID, from its (hidden) static text
  controls_.SetText(ctl::kExpectedFirmwareId, "5067");
  ExpectedFirmwareId = static_cast<std::uint16_t>(
      ParseHexText(controls_.GetText(ctl::kExpectedFirmwareId, 259)) & 0xFFFFu);

  // default target identity
  controls_.SetText(ctl::kVendorId, "1D6C");
  controls_.SetText(ctl::kProductId, "6841");

  controls_.SetProgressRange(ctl::kProgress, 0, 100);
  controls_.SetProgress(ctl::kProgress, 0);

  controls_.SetChecked(ctl::kFactoryMode, false);
  controls_.SetChecked(ctl::kUserMode, false);
  controls_.SetChecked(ctl::kDeveloperMode, true);

  // vendor-ID and product-ID rows of both speeds stay hidden and unchecked
  for (int id : groups::kHiddenIdRows) controls_.SetVisible(id, false);
  for (int id : {ctl::kHsVidBox, ctl::kHsPidBox, ctl::kFsVidBox, ctl::kFsPidBox}) {
    controls_.SetChecked(id, false);
  }
  controls_.SetVisible(ctl::kUserMode, false);
  controls_.SetVisible(ctl::kReadFromFile, false);

  UpdateModeControls();

  ReportSequence = 240;
  FwInfo.found = 0;
  CId.found = 0;
  WorkerDoneEvent = nullptr;
  HeaderVariant = 0;

  StartWorker();
  (void)RegisterDeviceNotifications();
  ProbeRomMode();
  return true;
}

void CQZ670xWriteEepromMPUtyDlg::OnExit() {
  // StopWorker clears WorkerRunning before the worker's UI calls stop waiting for this thread,
  // so a running job fails at its next check instead of running on; then it joins the worker.
  StopWorker();
  // The worker has ended here, so the link is ours to release.
  ReleaseDevice();
}

bool CQZ670xWriteEepromMPUtyDlg::OnCommand(int id) {
  switch (id) {
    case ctl::kWriteEeprom:
      OnWriteEeprom();
      return true;
    case ctl::kEraseEeprom:
      (void)EraseEeprom();
      return true;
    case ctl::kFactoryMode:
    case ctl::kDeveloperMode:
    case ctl::kUserMode:
      UpdateModeControls();
      return true;
    case ctl::kUpdateEnable:
      UpdateEnableControls();
      return true;
    case ctl::kUseEvb:
      UseEvbIdsControls();
      return true;
    case ctl::kReadFromFile:
      OnReadFromFile();
      return true;
    case ctl::kSaveBin:
      OnSaveBin();
      return true;
    case ctl::kReset:
      ResetDescriptorControls();
      return true;
    default:
      return false;
  }
}

void CQZ670xWriteEepromMPUtyDlg::DestroyWindow() {
  if (NotificationsRegistered && hotplug_ != nullptr) hotplug_->Stop();
  NotificationsRegistered = false;
}

}  // namespace qz
