#include "station/unit_run.h"

#include <thread>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/hid_backend.h"

namespace qz::station {

namespace {

// While the re-plug message is up: how often to look at the hotplug events (and at a stop),
// and how often to probe the bus directly where no hotplug monitor runs.
constexpr std::chrono::milliseconds kEventPoll{50};
constexpr std::chrono::milliseconds kProbePoll{200};
// How often the wait for a job's end looks at hotplug events and at a stop when nothing else
// wakes it.
constexpr std::chrono::milliseconds kJobPoll{100};

enum class ReplugWait { kBack, kTimedOut, kStopped };

// Waits, as the operator does while the re-plug message is up, until the chip is back in ROM
// mode: the hotplug events re-run the probe, or the probe runs on a timer where there are none.
ReplugWait WaitForRomMode(CQZ670xWriteEepromMPUtyDlg& dialog, const UnitHooks& hooks) {
  Clock& clock = dialog.GetClock();
  const bool monitor = dialog.NotificationsRegistered;
  const Clock::Duration deadline = clock.Now() + hooks.replug_timeout;
  Clock::Duration next_probe = clock.Now();
  for (;;) {
    if (hooks.stop && hooks.stop()) return ReplugWait::kStopped;
    if (monitor) {
      (void)dialog.DispatchHotplugEvents();
    } else if (clock.Now() >= next_probe) {
      dialog.ProbeRomMode();
      next_probe = clock.Now() + kProbePoll;
    }
    if (dialog.NotInRomMode == 0) return ReplugWait::kBack;
    if (clock.Now() >= deadline) return ReplugWait::kTimedOut;
    clock.SleepFor(kEventPoll);
  }
}

bool IsBeforeTheDevice(WriteRequestStep step) {
  return step == WriteRequestStep::kNotRun || step == WriteRequestStep::kLoadImage ||
         step == WriteRequestStep::kDescriptorUpdates || step == WriteRequestStep::kHeaderCheck;
}

}  // namespace

std::string ChipDevice(HidBackend& bus) {
  for (const HidDeviceInfo& info : bus.Enumerate()) {
    if (info.vendor_id == kQzVendorId && !info.port.empty()) return info.port;
  }
  return {};
}

Exit ExitFor(const WriteRequestResult& request, const JobReport& job, bool string_area_failed) {
  struct Row {
    WriteRequestStep step;
    Exit exit;
  };
  static constexpr Row kRequestExits[] = {
      {WriteRequestStep::kLoadImage, Exit::kImageRejected},
      {WriteRequestStep::kDescriptorUpdates, Exit::kOverrideRejected},
      {WriteRequestStep::kHeaderCheck, Exit::kImageRejected},
      {WriteRequestStep::kErase, Exit::kEraseOrPrepareFailed},
      {WriteRequestStep::kCancelled, Exit::kTimeout},
      {WriteRequestStep::kPrepareWriteMode, Exit::kEraseOrPrepareFailed},
      {WriteRequestStep::kSearch, Exit::kNoChip},
  };
  if (request.stopped_at == WriteRequestStep::kRaised) {
    // 0 OK, 1..12 the numbered outcome, 13 the silent end
    if (job.outcome >= kJobOutcomeOk && job.outcome <= kJobOutcomeSilent) {
      return static_cast<Exit>(job.outcome);
    }
    return Exit::kIoError;  // the worker ended without an outcome
  }
  // a search that found no chip explains any device step that failed after it
  if (request.chip_not_found) return Exit::kNoChip;
  // the string area is part of the image, not an override the operator got wrong
  if (request.stopped_at == WriteRequestStep::kDescriptorUpdates && string_area_failed) {
    return Exit::kImageRejected;
  }
  for (const Row& row : kRequestExits) {
    if (row.step == request.stopped_at) return row.exit;
  }
  return Exit::kIoError;
}

UnitResult RunUnit(CQZ670xWriteEepromMPUtyDlg& dialog, HeadlessControls& controls,
                   const UnitChoices& choices, const UnitHooks& hooks) {
  UnitResult result;
  const std::thread::id ui_thread = std::this_thread::get_id();
  const auto stop_requested = [&] { return hooks.stop && hooks.stop(); };
  // Acts on a stop, once: tells the caller where, then the caller's wait ends.
  const auto stopped = [&](StoppedBy where) {
    if (result.stopped_by != StoppedBy::kNothing) return true;
    if (!stop_requested()) return false;
    result.stopped_by = where;
    if (hooks.on_stopped) hooks.on_stopped(where);
    return true;
  };
  const bool erase_due = dialog.NotInRomMode != 0;
  HidBackend& bus = hooks.bus != nullptr ? *hooks.bus : dialog.Backend();
  OperatorReplug by_operator;
  ReplugHandler& replug = hooks.replug != nullptr ? *hooks.replug : by_operator;
  // The port is found while the chip still sits there, before the erase takes it off the bus.
  std::string device = hooks.device;
  if (erase_due && replug.NeedsDevice() && device.empty()) device = ChipDevice(dialog.Backend());
  std::string power_failure;

  controls.ClearMessages();
  controls.SetMessageHandler([&](const MessageBoxRequest& message) {
    const bool replug_box = message.about == MessageAbout::kReplug;
    // The re-plug step (the erase step has released the link before this box): the handler
    // may bring the chip back itself; the operator sees the box only when it is theirs to do.
    bool by_power = false;
    if (replug_box && !stop_requested()) {
      // the port's state shows the re-plug from the first switch of the power
      if (replug.NeedsDevice() && hooks.on_replug_wait) hooks.on_replug_wait(true);
      ReplugCall call{bus, device, stop_requested, hooks.on_power, &dialog.Backend()};
      const ReplugResult done = replug.Replug(call);
      by_power = done.by == ReplugBy::kPower;
      if (done.by == ReplugBy::kFailed) {
        result.power_replug_failed = true;
        power_failure = done.failure;
        if (hooks.on_replug_wait) hooks.on_replug_wait(false);
        dialog.CancelWriteRequest();
        return;
      }
    }
    if (!by_power && hooks.on_message) hooks.on_message(message);
    // The operator re-plugs the chip and presses the button once it is recognised; here the
    // button is pressed when the chip is back in ROM mode, or the wait gives up. The erase
    // step shows this box on the UI thread, which is this one.
    if (!replug_box) return;
    result.replug = by_power ? "power" : "operator";
    if (hooks.on_replug_wait) hooks.on_replug_wait(true);
    switch (WaitForRomMode(dialog, hooks)) {
      case ReplugWait::kBack:
        break;
      case ReplugWait::kTimedOut:
        result.replug_timed_out = true;
        dialog.CancelWriteRequest();
        break;
      case ReplugWait::kStopped:
        (void)stopped(StoppedBy::kAfterTheErase);
        dialog.CancelWriteRequest();
        break;
    }
    if (hooks.on_replug_wait) hooks.on_replug_wait(false);
  });
  controls.SetProgressHandler([&](int percent) {
    if (hooks.on_progress) hooks.on_progress(percent);
    // Once a stop has come, the worker goes no further than this step of the bar until the UI
    // thread has stopped it (the window's worker likewise waits for its UI thread at each step);
    // the posted no-op wakes the UI thread's wait at once.
    if (std::this_thread::get_id() == ui_thread || !stop_requested()) return;
    controls.PostToUi([] {});
    while (dialog.WorkerRunning.load() != 0) {
      (void)controls.WaitUntil([&] { return dialog.WorkerRunning.load() == 0; }, kJobPoll);
    }
  });

  // the operator's choices, as clicks and texts
  dialog.UseOriginBytes(choices.image_bytes);
  controls.SetText(ctl::kOriginPath, choices.image);
  controls.CheckRadio(choices.factory ? ctl::kFactoryMode : ctl::kDeveloperMode);
  dialog.UpdateModeControls();
  if (choices.overrides) choices.overrides(controls);
  if (choices.serial) {
    controls.SetChecked(ctl::kSerialBox, true);
    controls.SetText(ctl::kSerialEdit, *choices.serial);
  }
  controls.SetChecked(ctl::kUseEvb, choices.evb);
  if (choices.evb) dialog.UseEvbIdsControls();
  controls.SetText(ctl::kVendorId, choices.vid);
  controls.SetText(ctl::kProductId, choices.pid);

  if (!stopped(StoppedBy::kBeforeTheWrite)) {
    dialog.OnWriteEeprom();
    result.request = dialog.LastWriteRequest();
    result.string_area_failed = result.request.string_area_refused;
  }

  // Until the job has closed, this thread runs what the UI thread would: posted tasks and
  // device changes (the dialog holds the probes back while the job owns the link). A stop ends
  // the wait; the Exit sequence then stops the job.
  if (result.request.stopped_at == WriteRequestStep::kRaised) {
    const auto closed = [&] {
      return !dialog.JobActive() && controls.IsEnabled(ctl::kWriteEeprom);
    };
    while (!closed() && dialog.WorkerRunning.load() != 0 && !stopped(StoppedBy::kDuringTheJob)) {
      (void)controls.RunPostedTasks();
      (void)dialog.DispatchHotplugEvents();
      (void)controls.WaitUntil([&] { return closed() || stop_requested(); }, kJobPoll);
    }
  }
  (void)controls.RunPostedTasks();
  (void)dialog.DispatchHotplugEvents();
  (void)controls.RunPostedTasks();
  if (result.stopped_by != StoppedBy::kNothing) {
    dialog.OnExit();
    result.exited = true;
  }
  // (a request that never reached the worker leaves the last job's report standing)
  if (result.request.stopped_at == WriteRequestStep::kRaised) result.job = dialog.LastJobReport();
  result.exit = ExitFor(result.request, result.job, result.string_area_failed);
  const std::vector<MessageBoxRequest> messages = controls.Messages();
  if (!messages.empty()) {
    result.message = messages.back().text;
    result.detail = messages.back().detail;
  }
  if (result.power_replug_failed) {
    result.exit = Exit::kPowerReplugFailed;
    result.message = power_failure;
    result.detail.clear();
  }

  // Nothing can have reached the EEPROM before the erase, nor in a job that stopped at the
  // status or identity check; anything else may have.
  const bool erase_sent = erase_due && !IsBeforeTheDevice(result.request.stopped_at);
  const bool job_wrote = result.request.stopped_at == WriteRequestStep::kRaised &&
                         !(result.job.outcome >= 1 && result.job.outcome <= 4);
  result.eeprom_touched = erase_sent || job_wrote;

  controls.SetMessageHandler(nullptr);
  controls.SetProgressHandler(nullptr);
  return result;
}

}  // namespace qz::station
