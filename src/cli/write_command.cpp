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
#include "cli/options/device_options.h"
#include "cli/options/replug_options.h"
#include "cli/interrupt.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "prodlog/result_outbox.h"
#include "production/log_recorder.h"
#include "results/result_delivery.h"
#include "serials/program_runner.h"
#include "station/unit_run.h"

namespace qz::cli {

namespace {

// Caption of the message boxes that name none: the program's name.
constexpr const char* kAppName = "qz670x-mp-cli";

constexpr double kDefaultReplugTimeoutSeconds = 60.0;
// How long `write` keeps delivering the unit's result before it leaves it to the next run.
constexpr std::chrono::seconds kResultsFlush{5};

struct WriteArgs {
  std::string image;
  TargetOptions target;
  double replug_timeout_seconds = kDefaultReplugTimeoutSeconds;
  DescriptorOptions descriptor;
  DeviceOptions device;
  ReplugOptions replug;
  ProductionLogArgs log;
  std::string job;  // --job: the production job decides image, mode, overrides and target
  ResultArgs result;
  results::ResultTargets results;  // as the options, the configuration and the job decide
};

// Delivers the unit's result (and any an earlier run left waiting for the same targets) for a
// while; what is still waiting then is said and goes with the next run.
void DeliverResults(const WriteArgs& args, prodlog::ProductionLog& log, Clock& clock,
                    const Output& output) {
  prodlog::LogError error;
  std::unique_ptr<prodlog::ResultOutbox> outbox =
      prodlog::ResultOutbox::Open(log.LocalFile(), &error);
  const std::unique_ptr<serials::ProgramRunner> runner = serials::MakeProcessRunner();
  std::string why;
  std::vector<std::unique_ptr<results::ResultSender>> senders =
      outbox ? results::MakeSenders(args.results, *runner, &why) : decltype(senders){};
  if (senders.empty()) {
    *output.err << "qz670x-mp-cli: the unit's result waits: "
                << (outbox ? why : error.message) << '\n';
    return;
  }
  results::ResultDelivery delivery(std::move(outbox), std::move(senders), clock);
  if (delivery.Flush(kResultsFlush)) return;
  const results::ResultsState state = delivery.State();
  if (output.json) {
    output.JsonLine(JsonText({{"type", "results"},
                              {"waiting", state.waiting},
                              {"refused", state.refused},
                              {"problem", state.problem}}));
  } else {
    *output.err << "qz670x-mp-cli: " << results::ResultsStateText(state) << '\n';
  }
}

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

using station::StoppedBy;

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

std::string Hex(unsigned value, int digits) { return "0x" + FormatHex(value, digits); }

int RunWrite(const WriteArgs& args, const Output& output, const jobs::LoadedJob* production_job) {
  // the virtual chip's EEPROM file is written at the end: a job must not pass and then fail there
  if (const std::string why = SimEepromProblem(args.device); !why.empty()) {
    *output.err << "qz670x-mp-cli: " << why << '\n';
    return static_cast<int>(Exit::kIoError);
  }
  // From here on SIGINT and SIGTERM stop the write through the dialog's Exit sequence.
  const ScopedInterruptHandlers interrupts;
  std::string error;
  // with --log, the unit's row: begun before the chip is touched, completed at the end
  // what the line database behind the journal last said (the pusher's thread tells it)
  std::mutex line_mutex;
  prodlog::LineState line_state;
  std::unique_ptr<prodlog::ProductionLog> log;
  std::optional<prodlog::BegunUnit> row;
  // (a job's serial numbers and the results come from the log, the default one unless --log
  // names another; the factory's program is asked by `station` alone)
  if (production_job != nullptr && production_job->job.serial &&
      !production_job->job.serial->program.empty()) {
    *output.err << "qz670x-mp-cli: this job takes its serial numbers from the factory's program: "
                   "run it with station --job\n";
    return static_cast<int>(Exit::kUsage);
  }
  if (!args.log.log.empty() || (production_job != nullptr && production_job->job.serial) ||
      args.results.Any()) {
    prodlog::UnitStart start = production_job != nullptr
                                   ? jobs::UnitStartFor(*production_job)
                                   : UnitStartFor(args.image, args.target.factory, args.descriptor,
                                                  args.log);
    start.station = StationName(args.log);
    start.port = args.device.port;
    Exit log_exit = Exit::kIoError;
    log = OpenProductionLog(args.log, output, start, &log_exit);
    if (!log) return static_cast<int>(log_exit);
    log->SetLineListener([&](const prodlog::LineState& state) {
      const std::lock_guard lock(line_mutex);
      line_state = state;
    });
    start.started = prodlog::NowUtcIso8601();
    prodlog::LogError why;
    row = log->BeginUnit(start, &why);
    if (!row) {
      *output.err << "qz670x-mp-cli: " << why.message << '\n';
      return static_cast<int>(Exit::kIoError);
    }
  }
  DeviceOptions device = args.device;
  device.DescribeSession(args.image, "qz670x-mp-cli");
  PrepareForReplug(args.replug, device);
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(device, &error);
  if (!session) {
    *output.err << "qz670x-mp-cli: " << error << '\n';
    return static_cast<int>(Exit::kIoError);
  }
  std::optional<PowerReplugParts> power = MakePowerReplug(args.replug, *session, &error);
  if (!power) {
    *output.err << "qz670x-mp-cli: " << error << '\n';
    return static_cast<int>(Exit::kUsage);
  }
  const std::unique_ptr<station::ReplugHandler> replug =
      station::MakeReplugHandler(args.replug.Mode(), power->replugger.get());
  Clock& clock = session->GetClock();
  const bool terminal = output.err == &std::cerr && StandardErrorIsTerminal();
  ProgressPrinter progress(output, terminal && !output.json);
  // (capped at a day, which no operator waits anyway)
  const auto replug_timeout = std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(std::min(args.replug_timeout_seconds, 86400.0)));

  HeadlessControls controls;
  station::UnitResult unit;
  bool log_failed = false;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, session->Backend(), clock, session->Hotplug(),
                                      kAppName);
    controls.SetMessageHandler([&](const MessageBoxRequest& message) {
      progress.BreakLine();
      output.Message(message);
    });
    (void)dialog.OnInitDialog();

    station::UnitChoices choices;
    if (production_job != nullptr) {
      choices = jobs::ChoicesFor(*production_job);
    } else {
      choices.image = args.image;
      choices.factory = args.target.factory;
      choices.evb = args.target.evb;
      choices.vid = args.target.vid;
      choices.pid = args.target.pid;
      choices.overrides = [&](DialogControls& target) { args.descriptor.ApplyTo(target); };
    }
    if (row && !row->serial.empty()) choices.serial = row->serial;
    station::UnitHooks hooks;
    hooks.on_message = [&](const MessageBoxRequest& message) {
      progress.BreakLine();
      output.Message(message);
    };
    hooks.on_progress = [&](int percent) { progress.Show(percent); };
    hooks.stop = [&] { return interrupts.Signal() != 0; };
    hooks.on_stopped = [&](StoppedBy where) {
      const int signal = interrupts.Signal();
      progress.Say([&] { ReportInterrupt(output, signal, where); });
    };
    hooks.replug_timeout = replug_timeout;
    hooks.replug = replug.get();
    hooks.bus = &session->BusBackend();
    hooks.on_power = [&](const std::string& text) {
      progress.BreakLine();
      if (output.json) {
        output.JsonLine(nlohmann::json{{"type", "power"}, {"text", text}}.dump());
      } else {
        *output.err << "qz670x-mp-cli: " << text << '\n';
      }
    };
    const Clock::Duration began = clock.Now();
    unit = station::RunUnit(dialog, controls, choices, hooks);
    if (!unit.exited) dialog.OnExit();
    if (row) {
      station::UnitReport report;
      report.exit = static_cast<int>(unit.exit);
      report.message = unit.message;
      report.eeprom_touched = unit.eeprom_touched;
      report.replug = unit.replug;
      report.job = unit.job;
      report.duration = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - began);
      prodlog::LogError why;
      if (!log->CompleteUnit(row->unit_id,
                             production::UnitEndOf(report, dialog.ChipStatus, dialog.ChipIdentity),
                             &why)) {
        *output.err << "qz670x-mp-cli: the unit's log row could not be completed: " << why.message
                    << '\n';
        log_failed = true;
      } else {
        if (args.results.Any()) {
          progress.BreakLine();
          DeliverResults(args, *log, clock, output);
        }
        if (!log->Flush()) {
          // the row is safe in the journal and goes to the line database when it is back
          prodlog::LineState waiting;
          {
            const std::lock_guard lock(line_mutex);
            waiting = line_state;
          }
          waiting.online = false;
          waiting.pending = std::max(waiting.pending, 1);
          progress.BreakLine();
          if (output.json) {
            output.JsonLine(LineStateJson(waiting));
          } else {
            *output.err << "qz670x-mp-cli: " << prodlog::LineStateReport(waiting) << '\n';
          }
        }
      }
      log->SetLineListener({});
    }
  }
  const bool replug_timed_out = unit.replug_timed_out;
  const StoppedBy stopped_by = unit.stopped_by;
  const JobReport job = unit.job;
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

  int exit_code = static_cast<int>(unit.exit);
  // A stopped command says so in its status; a job that reached its end before the stop did
  // keeps its own.
  if (stopped_by != StoppedBy::kNothing && job.outcome != kJobOutcomeOk &&
      job.outcome != kJobOutcomeSilent) {
    exit_code = InterruptedExit(interrupts.Signal());
  }
  if (log_failed && exit_code == 0) exit_code = static_cast<int>(Exit::kIoError);
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
  command->footer(kOutcomesFooter);
  command->add_option("IMAGE", args->image, "Image file (.bin, 32784 bytes); not with --job")
      ->check(PathLengthValidator());
  command->add_option("--job", args->job,
                      "Run a production job: it decides the image, mode, overrides and target")
      ->type_name("JOB");
  args->target.AddTo(*command);
  args->descriptor.AddTo(*command);
  AddDeviceOptions(*command, args->device);
  args->log.AddTo(*command);
  args->result.AddTo(*command);
  args->replug.AddTo(*command);
  command
      ->add_option("--replug-timeout", args->replug_timeout_seconds,
                   "Seconds to wait for the chip to come back in ROM mode after the erase")
      ->type_name("SECONDS")
      ->capture_default_str();
  command->callback([args, command, &context] {
    RunSetup setup;
    if (const std::optional<int> refused = PrepareRun(*command, args->job, JobDecidedOptions(),
                                                      args->log, context.output, &setup)) {
      context.exit_code = *refused;
      return;
    }
    if (!setup.job && args->image.empty()) {
      *context.output.err << "qz670x-mp-cli: give the IMAGE to write, or --job JOB\n";
      context.exit_code = static_cast<int>(Exit::kUsage);
      return;
    }
    // without a log (or a job whose serial numbers need one) no row is written
    if (args->log.log.empty() && !setup.job && command->get_option("--station")->count() > 0) {
      *context.output.err << "qz670x-mp-cli: --station does nothing without --log\n";
      context.exit_code = static_cast<int>(Exit::kUsage);
      return;
    }
    std::optional<results::ResultTargets> targets =
        ResultTargetsFor(args->result, *command, setup, context.output, &context.exit_code);
    if (!targets) return;
    args->results = *targets;
    args->log.result_targets = results::TargetNames(*targets);
    if (!setup.job) args->descriptor.NoteShortReads(context.output);
    context.exit_code = RunWrite(*args, context.output, setup.job ? &*setup.job : nullptr);
  });
}

}  // namespace qz::cli
