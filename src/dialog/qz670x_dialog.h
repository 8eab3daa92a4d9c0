#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/result.h"
#include "dialog/dialog_controls.h"
#include "dialog/write_outcome.h"
#include "hid/hid_link.h"
#include "hid/hotplug.h"
#include "image/image_buffer.h"

namespace qz {

class Clock;
class DialogControls;
class HidBackend;

// A one-shot, manual-reset event: signalled once, never reset.
class DoneEvent {
 public:
  void Signal();
  // Waits up to `timeout`; true when signalled.
  bool WaitFor(std::chrono::milliseconds timeout);
  [[nodiscard]] bool IsSignalled() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// The main dialog object: the one record of the system's working state, and the dialog's
// operations. It reaches its controls only through DialogControls, the chip only through the
// HidBackend, time only through the Clock, so the same object serves the window and the
// command line.
class CQZ670xWriteEepromMPUtyDlg {
 public:
  // `app_name` is the caption of every message box that names none of its own.
  CQZ670xWriteEepromMPUtyDlg(DialogControls& controls, HidBackend& backend, Clock& clock,
                             HotplugSource* hotplug, std::string app_name);
  // Stops and joins the worker if it still runs, then closes the HID link.
  ~CQZ670xWriteEepromMPUtyDlg();
  CQZ670xWriteEepromMPUtyDlg(const CQZ670xWriteEepromMPUtyDlg&) = delete;
  CQZ670xWriteEepromMPUtyDlg& operator=(const CQZ670xWriteEepromMPUtyDlg&) = delete;

  // --- lifecycle ---------------------------------------------------------------------
  // Initialisation: control defaults, worker start, notifications, first probe. Returns true.
  bool OnInitDialog();
  // Exit command: stop the worker, release the device. The caller then closes the window.
  void OnExit();
  // Ends the notification registration (the window is going away).
  void DestroyWindow();

  // The message map of the dialog's buttons: runs the handler of a click on control `id` and
  // returns true, or false when the dialog object has none (Exit and the two "..." buttons are
  // the window's own; other controls have no handler). UI thread.
  bool OnCommand(int id);

  // --- control rules -----------------------------------------------------------------
  void UpdateModeControls();
  void UpdateEnableControls();
  void UseEvbIdsControls();
  void ResetDescriptorControls();

  // --- image -------------------------------------------------------------------------
  // Loads and validates `path` (null: no path) into FileImage; one message box on failure.
  [[nodiscard]] HResult LoadImageFile(const char* path);
  // From now on the origin file is `bytes` (a production job's image), whatever the path edit
  // names; every check of a file read runs on them as on the file. Null: the path edit's file
  // again. UI thread.
  void UseOriginBytes(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
  // "Read From File" button.
  void OnReadFromFile();
  // Reads, validates and applies the descriptor overrides of the dialog to `target`;
  // `string_area_refused` (may be null) is set when the image's string area was refused.
  [[nodiscard]] HResult ApplyDescriptorUpdates(ImageBuffer& target, bool use_evb,
                                               std::string_view string_area_failure,
                                               bool* string_area_refused = nullptr);
  // Builds the updated image from `origin` and writes it to `update` (null: no path).
  [[nodiscard]] HResult SaveUpdatedImage(const char* origin, const char* update);
  // "Save BIN" button.
  void OnSaveBin();

  // --- device search and notifications ----------------------------------------------
  [[nodiscard]] HResult SearchDevice();
  void ProbeRomMode();
  bool RegisterDeviceNotifications();
  // Device-change handler; returns 0. A probe that arrives while a job holds the link runs
  // when the job has closed.
  std::uint32_t OnDeviceChange(std::uint32_t event_type, const DeviceBroadcastHeader* header);
  // Takes the pending events of the hotplug source (if any) and runs OnDeviceChange for each.
  // UI thread. Returns how many events there were.
  std::size_t DispatchHotplugEvents();
  [[nodiscard]] HResult EraseEeprom();
  [[nodiscard]] HResult PrepareWriteMode();
  // Closes the device if DeviceOpen is set and clears the report-length copies.
  void ReleaseDevice();

  // --- write request and worker --------------------------------------------------------
  // "Write EEPROM" button.
  void OnWriteEeprom();
  void StartWorker();
  void StopWorker();
  // True from the moment a job is handed to the worker until its close step has run.
  [[nodiscard]] bool JobActive() const { return job_active_.load(std::memory_order_acquire); }
  // Called while a message box of OnWriteEeprom is open (an operator who gives up): when the
  // box closes the request stops like a failed step. UI thread.
  void CancelWriteRequest() { cancel_request_ = true; }
  // Where the last OnWriteEeprom stopped. UI thread.
  [[nodiscard]] const WriteRequestResult& LastWriteRequest() const { return last_request_; }
  // How the last job ended; meaningful once JobActive() is false again.
  [[nodiscard]] JobReport LastJobReport() const;

  // --- services ----------------------------------------------------------------------
  [[nodiscard]] DialogControls& Controls() { return controls_; }
  [[nodiscard]] Clock& GetClock() { return clock_; }
  // The HID layer the dialog searches (a port's view in a station).
  [[nodiscard]] HidBackend& Backend() { return backend_; }
  [[nodiscard]] HotplugSource* Hotplug() { return hotplug_; }
  [[nodiscard]] const std::string& AppName() const { return app_name_; }
  // Shows a message box owned by the dialog; an empty caption means the application's name.
  void ShowMessage(std::string_view text, std::string_view caption = {},
                   MessageIcon icon = MessageIcon::kNone,
                   MessageAbout about = MessageAbout::kOther, std::string detail = {});
  // A message box with its detail (see MessageBoxRequest::detail), captioned with the
  // application's name.
  void ShowRefusal(std::string_view text, std::string detail) {
    ShowMessage(text, {}, MessageIcon::kNone, MessageAbout::kOther, std::move(detail));
  }
  // Text of a path edit (1000 or 1032), or nullopt (no path) when it is longer than the 259
  // characters the loaders take: cut short, it would name another file than the operator's.
  [[nodiscard]] std::optional<std::string> PathEditText(int id) const;

  // --- state, in the dialog's order ----------------------------------------------------
  std::uint16_t ExpectedFirmwareId = 0;
  std::uint8_t HeaderVariant = 0;
  std::uint8_t ReportSequence = 240;
  std::uint16_t SearchedVendorId = 0;
  std::uint16_t SearchedProductId = 0;
  HidLink Link;
  std::uint16_t InputReportLengthCopy = 0;
  std::uint16_t OutputReportLengthCopy = 0;
  std::uint32_t DeviceOpen = 0;
  std::uint32_t NotInRomMode = 0;
  ImageBuffer WriteImage;
  ImageBuffer ReadBackImage;
  ImageBuffer FileImage;
  ImageBuffer UpdateImage;
  DoneEvent* WorkerDoneEvent = nullptr;  // null when it could not be made
  std::atomic<std::uint32_t> WorkerRunning{0};
  std::atomic<std::uint32_t> WorkerExited{0};
  std::atomic<std::uint32_t> WriteRequested{0};
  std::atomic<std::uint32_t> VerifyRequested{0};
  std::atomic<std::uint32_t> CompareRequested{0};
  std::atomic<std::uint32_t> CleanupRequested{0};
  std::uint16_t WriteLength = 0;
  FirmwareInfo FwInfo;
  CIdState CId;
  bool NotificationsRegistered = false;  // DeviceNotifyHandle
  std::uint8_t ChipStatus = 0;
  std::uint32_t ChipIdentity = 0;

 private:
  friend class WorkerAccess;  // tests of the job steps

  // worker
  void WorkerMain(DoneEvent* done);
  void WorkerLoop();
  void WaitForRequest();
  void WakeWorker();
  void RunWritePhase();
  void RunReadBackPhase();
  void RunComparePhase();
  void RunCloseStep();
  void EndJob(int code);
  void EndJobWithMismatch(int code, std::size_t address);
  [[nodiscard]] HResult ClearHeader();
  [[nodiscard]] HResult ReadHeader();
  [[nodiscard]] HResult WriteBody();
  [[nodiscard]] HResult ReadBackAll();
  [[nodiscard]] HResult CommitHeader();
  [[nodiscard]] bool Transfer(std::uint16_t address, bool read, std::uint8_t count,
                              std::uint8_t* buffer);
  [[nodiscard]] bool WorkerShouldGoOn() const;
  void SetJobProgress(int position);
  void FinishJob();
  void ProbeOrDefer();

  DialogControls& controls_;
  HidBackend& backend_;
  Clock& clock_;
  HotplugSource* hotplug_;
  std::string app_name_;

  std::unique_ptr<DoneEvent> done_event_;  // made afresh by each StartWorker
  std::thread worker_thread_;
  // The idle worker sleeps here until a request or a stop.
  std::mutex wake_mutex_;
  std::condition_variable wake_cv_;
  std::atomic<bool> job_active_{false};
  std::atomic<bool> probe_deferred_{false};
  // UI thread only.
  std::shared_ptr<const std::vector<std::uint8_t>> origin_bytes_;
  WriteRequestResult last_request_;
  bool cancel_request_ = false;
  std::string save_failure_;  // why the last save's write or commit failed
  // Written by the worker during a job, read after it (ordered by job_active_).
  JobReport job_report_;
  // Tasks posted to the UI thread hold a weak reference: they do nothing once the dialog is gone.
  std::shared_ptr<int> life_token_ = std::make_shared<int>(0);
};

}  // namespace qz
