// `write`: the dialog's "Write EEPROM" road from the command line. The dialog object runs as in
// the window, over in-memory controls; this thread plays the UI thread and the operator.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/hex_text.h"
#include "base/clock.h"
#include "cli/terminal.h"
#include "cli/cli_common.h"
#include "cli/device_options.h"
#include "cli/interrupt.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"

namespace qz::cli {

namespace {

// Caption of the message boxes that name none: the program's name.
constexpr const char* kAppName = "qz670x-mp-cli";

// While the re-plug message is up: how often to look at the hotplug events (and at a caught
// signal), and how often to probe the bus directly where no hotplug monitor runs.
constexpr std::chrono::milliseconds kEventPoll{50};
constexpr std::chrono::milliseconds kProbePoll{200};
// How often the wait for a job's end looks at hotplug events and at a caught signal when
// nothing else wakes it.
constexpr std::chrono::milliseconds kJobPoll{100};

constexpr double kDefaultReplugTimeoutSeconds = 60.0;

struct WriteArgs {
  std::string image;
  bool factory = false;
  bool developer = false;
  bool evb = false;
  std::string vid = "1D6C";
  std::string pid = "6841";
  double replug_timeout_seconds = kDefaultReplugTimeoutSeconds;
  DescriptorOptions descriptor;
  DeviceOptions device;
};

// The progress bar on a terminal, or progress lines with --json; otherwise nothing. Called from
// the worker and the main thread.
class ProgressPrinter {
 public:
  ProgressPrinter(const Output& output, bool terminal) : output_(output), terminal_(terminal) {}

  void Show(int percent) {
    std::lock_guard lock(mutex_);
    if (percent == last_) return;
    last_ = percent;
    if (output_.json) {
      output_.JsonLine(nlohmann::json{{"type", "progress"}, {"percent", percent}}.dump());
    } else if (terminal_) {
      constexpr int kWidth = 40;
      const int filled = std::clamp(percent, 0, 100) * kWidth / 100;
      *output_.err << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                   << std::string(static_cast<std::size_t>(kWidth - filled), '.') << "] "
                   << percent << "%" << std::flush;
      bar_open_ = true;
    }
  }

  // Ends the bar's line before other text goes to the terminal.
  void BreakLine() {
    std::lock_guard lock(mutex_);
    EndBar();
  }

  // Prints through `print` on a line of its own, never in the middle of a progress line the
  // worker is printing.
  void Say(const std::function<void()>& print) {
    std::lock_guard lock(mutex_);
    EndBar();
    print();
  }

 private:
  void EndBar() {
    if (!bar_open_) return;
    *output_.err << '\n';
    bar_open_ = false;
  }

  const Output& output_;
  const bool terminal_;
  std::mutex mutex_;
  int last_ = -1;
  bool bar_open_ = false;
};

enum class ReplugWait { kBack, kTimedOut, kInterrupted };

// Waits, as the operator does while the re-plug message is up, until the chip is back in ROM
// mode: the hotplug events re-run the probe, or the probe runs on a timer where there are none.
// A caught signal ends the wait within one event poll.
ReplugWait WaitForRomMode(CQZ670xWriteEepromMPUtyDlg& dialog, Clock& clock,
                          Clock::Duration timeout, const ScopedInterruptHandlers& interrupts) {
  const bool monitor = dialog.NotificationsRegistered;
  const Clock::Duration deadline = clock.Now() + timeout;
  Clock::Duration next_probe = clock.Now();
  for (;;) {
    if (interrupts.Signal() != 0) return ReplugWait::kInterrupted;
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

// Where a caught signal stopped the command.
enum class StoppedBy { kNothing, kBeforeTheWrite, kAfterTheErase, kDuringTheJob };

// The line that says a signal stopped the command, printed as soon as the command acts on it.
void ReportInterrupt(const Output& output, int signal, StoppedBy where) {
  if (output.json) {
    output.JsonLine(nlohmann::json{{"type", "interrupted"}, {"signal", signal}}.dump());
    return;
  }
  *output.err << kAppName << ": interrupted by " << SignalName(signal) << ": ";
  switch (where) {
    case StoppedBy::kDuringTheJob:
      *output.err << "stopping the write; the chip's EEPROM header is left cleared, write the "
                     "chip again\n";
      break;
    case StoppedBy::kAfterTheErase:
      *output.err << "the write was not started; the chip's EEPROM was erased, write the chip "
                     "again\n";
      break;
    case StoppedBy::kBeforeTheWrite:
    case StoppedBy::kNothing:
      *output.err << "the write was not started\n";
      break;
  }
  *output.err << std::flush;
}

// The one table from where a write stopped to the exit status.
Exit ExitFor(const WriteRequestResult& request, const JobReport& job,
             bool string_area_failed) {
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

std::string Hex(unsigned value, int digits) { return "0x" + FormatHex(value, digits); }

int RunWrite(const WriteArgs& args, const Output& output) {
  // From here on SIGINT and SIGTERM stop the write through the dialog's Exit sequence.
  const ScopedInterruptHandlers interrupts;
  std::string error;
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(args.device, &error);
  if (!session) {
    *output.err << "qz670x-mp-cli: " << error << '\n';
    return static_cast<int>(Exit::kIoError);
  }
  Clock& clock = session->GetClock();
  const bool terminal = output.err == &std::cerr && StandardErrorIsTerminal();
  ProgressPrinter progress(output, terminal && !output.json);
  // (capped at a day, which no operator waits anyway)
  const auto replug_timeout = std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(std::min(args.replug_timeout_seconds, 86400.0)));
  const std::thread::id main_thread = std::this_thread::get_id();

  HeadlessControls controls;
  bool replug_timed_out = false;
  StoppedBy stopped_by = StoppedBy::kNothing;
  WriteRequestResult request;
  JobReport job;
  bool string_area_failed = false;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, session->Backend(), clock, session->Hotplug(),
                                      kAppName);
    // Acts on a caught signal, once: the report line, then the caller stops what runs.
    const auto interrupted = [&](StoppedBy where) {
      if (stopped_by != StoppedBy::kNothing) return true;
      const int signal = interrupts.Signal();
      if (signal == 0) return false;
      stopped_by = where;
      progress.Say([&] { ReportInterrupt(output, signal, where); });
      return true;
    };
    controls.SetMessageHandler([&](const MessageBoxRequest& message) {
      progress.BreakLine();
      output.Message(message);
      // The operator re-plugs the chip and presses the button once it is recognised; here the
      // button is pressed when the chip is back in ROM mode, or the wait gives up. The erase
      // step shows this box on the UI thread, which is this one.
      if (message.text != msg::kReplugDevice) return;
      switch (WaitForRomMode(dialog, clock, replug_timeout, interrupts)) {
        case ReplugWait::kBack:
          break;
        case ReplugWait::kTimedOut:
          replug_timed_out = true;
          dialog.CancelWriteRequest();
          break;
        case ReplugWait::kInterrupted:
          (void)interrupted(StoppedBy::kAfterTheErase);
          dialog.CancelWriteRequest();
          break;
      }
    });

    (void)dialog.OnInitDialog();
    controls.SetProgressHandler([&](int percent) {
      progress.Show(percent);
      // Once a signal has come, the worker goes no further than this step of the bar until
      // this thread has stopped it (the window's worker likewise waits for its UI thread at
      // each step); the posted no-op wakes this thread's wait at once.
      if (std::this_thread::get_id() == main_thread || interrupts.Signal() == 0) return;
      controls.PostToUi([] {});
      while (dialog.WorkerRunning.load() != 0) {
        (void)controls.WaitUntil([&] { return dialog.WorkerRunning.load() == 0; }, kJobPoll);
      }
    });

    // the operator's choices, as clicks and texts
    controls.SetText(ctl::kOriginPath, args.image);
    controls.CheckRadio(args.factory ? ctl::kFactoryMode : ctl::kDeveloperMode);
    dialog.UpdateModeControls();
    args.descriptor.ApplyTo(controls);
    if (args.evb) {
      controls.SetChecked(ctl::kUseEvb, true);
      dialog.UseEvbIdsControls();
    }
    controls.SetText(ctl::kVendorId, args.vid);
    controls.SetText(ctl::kProductId, args.pid);

    if (!interrupted(StoppedBy::kBeforeTheWrite)) {
      dialog.OnWriteEeprom();
      request = dialog.LastWriteRequest();
      if (request.stopped_at == WriteRequestStep::kDescriptorUpdates) {
        const std::vector<std::string> texts = controls.MessageTexts();
        string_area_failed = !texts.empty() && texts.back() == msg::kReplaceStringError;
      }
    }

    // Until the job has closed, this thread runs what the UI thread would: posted tasks and
    // device changes (the dialog holds the probes back while the job owns the link). A caught
    // signal ends the wait; the Exit sequence below then stops the job.
    if (request.stopped_at == WriteRequestStep::kRaised) {
      const auto closed = [&] {
        return !dialog.JobActive() && controls.IsEnabled(ctl::kWriteEeprom);
      };
      while (!closed() && dialog.WorkerRunning.load() != 0 &&
             !interrupted(StoppedBy::kDuringTheJob)) {
        (void)controls.RunPostedTasks();
        (void)dialog.DispatchHotplugEvents();
        (void)controls.WaitUntil([&] { return closed() || interrupts.Signal() != 0; }, kJobPoll);
      }
    }
    (void)controls.RunPostedTasks();
    (void)dialog.DispatchHotplugEvents();
    (void)controls.RunPostedTasks();
    dialog.OnExit();
    job = dialog.LastJobReport();
  }
  progress.BreakLine();

  if (replug_timed_out) {
    if (output.json) {
      output.JsonLine(nlohmann::json{{"type", "replug-timeout"},
                                     {"seconds", args.replug_timeout_seconds}}
                          .dump());
    } else {
      *output.err << "qz670x-mp-cli: the chip was not back in ROM mode within "
                  << args.replug_timeout_seconds << " s\n";
    }
  }
  if (job.mismatch_address >= 0) {
    if (output.json) {
      output.JsonLine(nlohmann::json{{"type", "mismatch"},
                                     {"address", job.mismatch_address},
                                     {"expected", job.expected},
                                     {"actual", job.actual}}
                          .dump());
    } else {
      *output.err << "qz670x-mp-cli: EEPROM byte " << Hex(static_cast<unsigned>(job.mismatch_address), 4)
                  << " reads " << Hex(job.actual, 2) << ", the image has "
                  << Hex(job.expected, 2) << '\n';
    }
  }

  int exit_code = static_cast<int>(ExitFor(request, job, string_area_failed));
  // A stopped command says so in its status; a job that reached its end before the stop did
  // keeps its own.
  if (stopped_by != StoppedBy::kNothing && job.outcome != kJobOutcomeOk &&
      job.outcome != kJobOutcomeSilent) {
    exit_code = InterruptedExit(interrupts.Signal());
  }
  // the virtual chip's EEPROM is saved however the command ended
  if (!session->Finish(&error)) {
    *output.err << "qz670x-mp-cli: " << error << '\n';
    if (exit_code == 0) exit_code = static_cast<int>(Exit::kIoError);
  }
  return exit_code;
}

}  // namespace

void AddWriteCommand(CLI::App& app, Context& context) {
  auto args = std::make_shared<WriteArgs>();
  CLI::App* command = app.add_subcommand(
      "write",
      "Write IMAGE into the chip's EEPROM: erase and re-plug when the chip runs its firmware, "
      "check status and identity, write, read back, verify, commit the header");
  command->add_option("IMAGE", args->image, "Image file (.bin, 32784 bytes)")
      ->required()
      ->check(PathLengthValidator());
  CLI::Option* factory =
      command->add_flag("--factory", args->factory, "Factory mode: write all 32768 bytes");
  CLI::Option* developer = command->add_flag(
      "--developer", args->developer, "Developer mode: write the first 16400 bytes (default)");
  factory->excludes(developer);
  args->descriptor.AddTo(*command);
  command->add_flag("--evb", args->evb,
                    "Use the evaluation board's IDs: VID 0x1D6C, PID 0x0001 (high speed) and "
                    "0x0002 (full speed)");
  command->add_option("--vid", args->vid, "Vendor ID of the chip to look for first (hex)")
      ->type_name("HEX")
      ->capture_default_str();
  command->add_option("--pid", args->pid, "Product ID of the chip to look for first (hex)")
      ->type_name("HEX")
      ->capture_default_str();
  args->device.AddTo(*command);
  command
      ->add_option("--replug-timeout", args->replug_timeout_seconds,
                   "Seconds to wait for the chip to come back in ROM mode after the erase")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command->callback([args, &context] {
    context.exit_code = RunWrite(*args, context.output);
  });
}

}  // namespace qz::cli
