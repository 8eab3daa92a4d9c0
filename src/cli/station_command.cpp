// `station`: several chips at once, one per USB port, unit after unit with --loop. The station
// itself lives in src/station, what it shows in the station presenter; this file gives it
// options and plays the presenter's UI thread for the view (station_view.h).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "cli/options/replug_options.h"
#include "cli/interrupt.h"
#include "cli/station_view.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/port_scoped_backend.h"
#include "recording/session_recording.h"
#include "prodlog/serial_numbers.h"
#include "serials/command_line.h"
#include "serials/serial_list.h"
#include "production/station_presenter.h"
#include "production/station_run.h"
#include "station/station.h"
#include "station/unit_run.h"

namespace qz::cli {

namespace {

constexpr const char* kAppName = "qz670x-mp-cli";

// The recording of one port: the port put before the file's extension ("rec.jsonl" and port
// 1-4.2 give "rec.1-4.2.jsonl"; without an extension it is appended: "rec.1-4.2").
std::string PortRecordingPath(const std::string& path, const std::string& port) {
  const std::filesystem::path whole(path);
  const std::string extension = whole.extension().string();
  std::filesystem::path named = whole;
  named.replace_filename(whole.stem().string() + "." + port + extension);
  return named.string();
}
// How often the main thread looks at a caught signal while the ports work.
constexpr std::chrono::milliseconds kSignalPoll{50};

struct StationArgs {
  std::string image;
  std::vector<std::string> ports;
  bool all_ports = false;
  TargetOptions target;
  bool loop = false;
  int units = 0;
  double replug_timeout_seconds = 60.0;
  double sim_pause_seconds = 0.5;
  std::string serial_format;
  std::string serial_start = "1";
  std::string serial_list;       // --serial-list FILE
  std::string serial_list_name;  // --serial-list-name NAME (default: the file's name)
  std::string serial_program;    // --serial-program 'CMD ARGS'
  double serial_program_timeout_seconds = 10.0;
  DescriptorOptions descriptor;
  DeviceOptions device;
  ReplugOptions replug;
  ProductionLogArgs log;
  std::string job;  // --job: the production job decides image, mode, overrides, target, serials
  ResultArgs result;
};

// The image and the overrides, checked as the dialog checks them, before any chip is touched:
// the road of one unit on a bus without chips stops at the image or an override, or at the
// search.
station::Exit CheckBeforeAnyChip(const station::UnitChoices& choices, const Output& output) {
  NullHidBackend nothing;
  ManualClock clock;
  HeadlessControls controls;
  station::UnitResult result;
  std::vector<MessageBoxRequest> messages;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, nothing, clock, nullptr, kAppName);
    (void)dialog.OnInitDialog();
    station::UnitHooks hooks;
    hooks.on_message = [&](const MessageBoxRequest& message) { messages.push_back(message); };
    hooks.replug_timeout = {};
    result = station::RunUnit(dialog, controls, choices, hooks);
    if (!result.exited) dialog.OnExit();
  }
  const bool rejected =
      result.exit == station::Exit::kImageRejected || result.exit == station::Exit::kOverrideRejected;
  if (rejected) {
    for (const MessageBoxRequest& message : messages) output.Message(message);
  }
  return rejected ? result.exit : station::Exit::kOk;
}

// Why a list cannot be taken from where it was given, or "": a file's list is a station's own
// log's, a name alone names a list imported into a line database.
std::string SerialListProblem(bool from_file, bool from_line, const std::string& log) {
  const bool line = prodlog::IsDatabaseLocation(log);
  if (from_file && line) {
    return "--serial-list FILE is for a station's own log file; a line's list is imported into "
           "the line database once (log --import-serials FILE --serial-list-name NAME --log "
           "URI) and its stations give --serial-list-name NAME";
  }
  if (from_line && !line) {
    return "--serial-list-name alone names a list imported into a line database (--log "
           "postgresql://... or service=NAME); with a log file give the list's file with "
           "--serial-list FILE";
  }
  return {};
}

int Usage(const Output& output, const std::string& why) {
  *output.err << kAppName << ": " << why << '\n';
  return static_cast<int>(Exit::kUsage);
}

int RunStation(StationArgs& args, const CLI::App& command, Context& context) {
  Output& output = context.output;
  const bool asked_json = output.json;
  // JSON Lines whenever stdout is no terminal
  const bool stdout_terminal = output.out == &std::cout && isatty(STDOUT_FILENO) == 1;
  if (!stdout_terminal) output.json = true;

  std::vector<std::string> decided = JobDecidedOptions();
  decided.emplace_back("--serial-format");
  decided.emplace_back("--serial-start");
  const char* const sources[] = {"--serial-list", "--serial-list-name", "--serial-program",
                                 "--serial-program-timeout"};
  decided.insert(decided.end(), std::begin(sources), std::end(sources));
  RunSetup setup;
  if (const std::optional<int> refused =
          PrepareRun(command, args.job, decided, args.log, output, &setup)) {
    return *refused;
  }
  if (!setup.job && args.image.empty()) return Usage(output, "give the IMAGE to write, or --job JOB");
  int refused_results = 0;
  std::optional<results::ResultTargets> result_targets =
      ResultTargetsFor(args.result, command, setup, output, &refused_results);
  if (!result_targets) return refused_results;
  const auto given = [&](const char* name) { return command.get_option(name)->count() > 0; };
  // the station configuration's serial source, when neither a job nor the command line gives one
  const production::StationSettings& settings = setup.settings;
  const bool configured = !setup.job && !given("--serial-format") && !given("--serial-list") &&
                          !given("--serial-list-name") && !given("--serial-program");
  if (configured) {
    args.serial_format = settings.serial_format;
    args.serial_list_name = settings.serial_list_name;
    args.serial_program = settings.serial_program;
  }
  const bool from_format = given("--serial-format") || (configured && !args.serial_format.empty());
  const bool from_list = given("--serial-list");
  const bool from_program =
      given("--serial-program") || (configured && !args.serial_program.empty());
  // a line's list lives in the line database: a station names it alone
  const bool from_line_list =
      !from_list && (given("--serial-list-name") || (configured && !args.serial_list_name.empty()));
  if (const std::string why = SerialListProblem(from_list, from_line_list, args.log.log);
      !why.empty()) {
    return Usage(output, why);
  }
  if (args.ports.empty() && !args.all_ports) args.ports = setup.settings.ports;

  if (args.all_ports == !args.ports.empty()) {
    return Usage(output, "give the ports with --ports P1,P2,... or take them all with --all-ports");
  }
  std::set<std::string> seen;
  for (const std::string& port : args.ports) {
    if (port.empty()) return Usage(output, "--ports: an empty port name");
    if (!seen.insert(port).second) return Usage(output, "--ports: port " + port + " is named twice");
  }

  production::RunPlan plan;
  if (setup.job) {
    plan.choices = jobs::ChoicesFor(*setup.job);
  } else {
    plan.choices.image = args.image;
    plan.choices.factory = args.target.factory;
    plan.choices.evb = args.target.evb;
    plan.choices.vid = args.target.vid;
    plan.choices.pid = args.target.pid;
    args.descriptor.NoteShortReads(output);
    plan.choices.overrides = [&args](DialogControls& target) { args.descriptor.ApplyTo(target); };
  }
  plan.results = std::move(*result_targets);
  plan.loop = args.loop;
  plan.units = args.units;
  plan.replug_timeout = std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(std::min(args.replug_timeout_seconds, 86400.0)));
  plan.app_name = kAppName;

  prodlog::UnitStart& unit_start = plan.unit_start;
  unit_start =
      setup.job ? jobs::UnitStartFor(*setup.job)
                : UnitStartFor(args.image, args.target.factory, args.descriptor, args.log);
  unit_start.station = StationName(args.log);
  // (a job's image, overrides and first serial number were checked when it was loaded)
  if (setup.job) {
    // a job fixes its serial source: a list of the line, or the factory's program
    const std::optional<jobs::JobSerial>& serial = setup.job->job.serial;
    if (const std::string why =
            SerialListProblem(false, !unit_start.serial_list_name.empty(), args.log.log);
        !why.empty()) {
      return Usage(output, "the job's serial list \"" + unit_start.serial_list_name + "\": " + why);
    }
    if (serial && !serial->program.empty()) {
      std::string why;
      std::optional<std::vector<std::string>> words =
          serials::SplitCommandLine(serial->program, &why);
      if (!words) return Usage(output, "the job's serial program: " + why);
      plan.serial_program = std::move(*words);
    }
  } else if (from_format) {
    std::string why;
    unit_start.serial_format = prodlog::SerialFormat::Parse(args.serial_format, &why);
    if (!unit_start.serial_format) return Usage(output, "--serial-format: " + why);
    const std::optional<std::uint64_t> start = prodlog::ParseSerialStart(args.serial_start, &why);
    if (!start) return Usage(output, "--serial-start: " + why);
    unit_start.serial_start = *start;
    const std::optional<std::string> first = unit_start.serial_format->Format(*start);
    if (!first) {
      *output.err << kAppName << ": " << unit_start.serial_format->OverflowMessage(*start) << '\n';
      return static_cast<int>(Exit::kOverrideRejected);
    }
    // the serial-number override is checked with the first number, as every unit's will be
    plan.choices.serial = *first;
  } else if (from_list) {
    std::string why;
    std::optional<std::vector<std::string>> numbers = serials::ReadSerialList(args.serial_list, &why);
    if (!numbers) return Usage(output, why);
    unit_start.serial_list_name = given("--serial-list-name")
                                      ? args.serial_list_name
                                      : serials::SerialListName(args.serial_list);
    unit_start.serial_list =
        std::make_shared<const std::vector<std::string>>(std::move(*numbers));
  } else if (from_line_list) {
    unit_start.serial_list_name = args.serial_list_name;
  } else if (from_program) {
    std::string why;
    std::optional<std::vector<std::string>> words =
        serials::SplitCommandLine(args.serial_program, &why);
    if (!words) return Usage(output, "--serial-program: " + why);
    plan.serial_program = std::move(*words);
    plan.serial_program_timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(args.serial_program_timeout_seconds));
  }

  if (!setup.job) {
    const station::Exit checked = CheckBeforeAnyChip(plan.choices, output);
    if (checked != station::Exit::kOk) return static_cast<int>(checked);
    plan.choices.serial.reset();
  }

  if (const std::string why = SimEepromProblem(args.device); !why.empty()) {
    *output.err << kAppName << ": " << why << '\n';
    return static_cast<int>(Exit::kIoError);
  }
  plan.log_location = args.log.log;
  plan.log_options = LogOptionsFor(args.log);
  prodlog::LogError log_error;
  std::unique_ptr<production::StationRun> run =
      production::StationRun::OpenLog(plan, &log_error);
  if (!run) return static_cast<int>(LogOpenFailed(log_error, output));

  const ScopedInterruptHandlers interrupts(/*keep_catching=*/true);
  std::string error;
  // the station records each port on its own (below), not the session's one backend
  DeviceOptions device = args.device;
  device.DescribeSession(args.image, kAppName);
  const std::string record = device.record;
  device.record.clear();
  PrepareForReplug(args.replug, device);
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(device, &error);
  if (!session) {
    *output.err << kAppName << ": " << error << '\n';
    return static_cast<int>(Exit::kIoError);
  }
  std::optional<PowerReplugParts> power = MakePowerReplug(args.replug, *session, &error);
  if (!power) return Usage(output, error);
  plan.replug = args.replug.Mode();
  plan.power_replug = power->replugger.get();
  HidBackend& bus = session->BusBackend();
  Clock& clock = session->GetClock();

  // the ports, and a chip on each unless the station waits for them
  const auto ours = [&] {
    std::vector<HidDeviceInfo> listed = bus.Enumerate();
    std::erase_if(listed, [](const HidDeviceInfo& info) { return info.vendor_id != kQzVendorId; });
    return listed;
  };
  plan.ports = args.all_ports ? PortsOf(ours()) : args.ports;
  // with --loop, --all-ports also takes up the ports where a chip shows up later
  plan.take_up_new_ports = args.all_ports && args.loop;
  if (plan.ports.empty() && !plan.take_up_new_ports) {
    *output.err << kAppName << ": no chip on any USB port\n";
    return static_cast<int>(Exit::kNoChip);
  }
  if (!args.loop) {
    const std::vector<std::string> present = PortsOf(ours());
    for (const std::string& port : plan.ports) {
      if (std::find(present.begin(), present.end(), port) == present.end()) {
        *output.err << kAppName << ": no chip on port " << port
                    << " (list shows the ports; --loop waits for chips)\n";
        return static_cast<int>(Exit::kNoChip);
      }
    }
  }

  if (!record.empty()) {
    const recording::SessionFacts facts{device.program, device.image_sha256, device.image_length};
    plan.wrap_port = [record, facts, &clock](const std::string& port, HidBackend& inner,
                                               std::string* why) -> std::unique_ptr<HidBackend> {
      return recording::RecordingBackend::Create(inner, clock, PortRecordingPath(record, port),
                                                 facts, why);
    };
  }

  if (session->Chip() != nullptr && args.loop) {
    plan.virtual_chip = [&session](const std::string& port) { return session->ChipOnPort(port); };
    plan.virtual_pause = std::chrono::duration_cast<Clock::Duration>(
        std::chrono::duration<double>(args.sim_pause_seconds));
  }

  // the main thread plays the presenter's UI thread: takes in the reports, redraws, watches
  // the signals
  StationView view(output, plan.ports, stdout_terminal && !output.json,
                   !stdout_terminal && !asked_json, clock);
  auto presenter =
      std::make_unique<production::StationPresenter>(bus, session->Hotplug(), clock, view);
  view.Attach(*presenter);
  presenter->SetReports(&view, /*every_progress=*/output.json);
  if (!presenter->Start(std::move(run), std::move(plan))) return static_cast<int>(Exit::kIoError);
  // The signals: the first lets running jobs finish, the second stops them.
  std::vector<std::pair<int, std::string>> stopped_by;
  while (presenter->Running()) {
    view.WaitForReports(kSignalPoll);
    presenter->Drain();
    for (int count = interrupts.Count(); static_cast<int>(stopped_by.size()) < std::min(count, 2);) {
      const int signal = interrupts.Signal();
      if (stopped_by.empty()) {
        presenter->Stop();
        view.Problem("interrupted by " + SignalName(signal) + ": running jobs finish, no unit starts");
        stopped_by.emplace_back(signal, "running jobs finish");
      } else {
        presenter->StopJobs();
        view.Problem("interrupted again: stopping the running jobs");
        stopped_by.emplace_back(signal, "running jobs");
      }
    }
    view.Draw();
  }
  production::StationRun& ran = *presenter->Run();
  int exit_code = presenter->ExitCode();
  // the journal's last units go to the line database now, while the view still shows it
  (void)ran.Log().Flush();
  presenter->Drain();
  view.Draw();
  ran.Log().SetLineListener({});
  view.Finish();
  for (const auto& [signal, stopped] : stopped_by) view.Interrupted(signal, stopped);

  const production::TotalsFigures totals = presenter->Totals();
  if (ran.StopRequests() >= 2 && exit_code == 0) exit_code = InterruptedExit(interrupts.Signal());
  if (!session->Finish(&error)) {
    *output.err << kAppName << ": " << error << '\n';
    if (exit_code == 0) exit_code = static_cast<int>(Exit::kIoError);
  }
  presenter.reset();  // the station before the session whose bus it holds
  context.result_counts = {{"units", totals.units}, {"passed", totals.passed}, {"failed", totals.failed}};
  return exit_code;
}

}  // namespace

void AddStationCommand(CLI::App& app, Context& context) {
  auto args = std::make_shared<StationArgs>();
  CLI::App* command = app.add_subcommand(
      "station",
      "Write IMAGE into the chips on several USB ports at once, one dialog object per port; "
      "with --loop unit after unit. Exit: 0 every unit passed, 1 any failed, 20/21 the image or "
      "an override rejected before any chip, 22 a port without a chip, 64 usage, 74 the log "
      "cannot be opened or written (or the serial numbers ran out)");
  command->footer(kOutcomesFooter);
  command->add_option("IMAGE", args->image, "Image file (.bin, 32784 bytes); not with --job")
      ->check(PathLengthValidator());
  command->add_option("--job", args->job,
                      "Run a production job: it decides the image, mode, overrides, target and "
                      "serial numbers")
      ->type_name("JOB");
  command->add_option("--ports", args->ports, "The USB ports to program (as `list` shows them)")
      ->delimiter(',')
      ->type_name("P1,P2,...");
  command->add_flag("--all-ports", args->all_ports,
                    "Every port where a chip sits at the start; with --loop also every port "
                    "where one shows up later");
  args->target.AddTo(*command);
  args->descriptor.AddTo(*command);
  command->add_flag("--loop", args->loop,
                    "Continuous production: program each chip that arrives, wait until it is "
                    "removed and the next one arrives");
  command->add_option("--units", args->units, "End after K units (with --loop)")
      ->type_name("K");
  command->add_flag("--json", context.output.json, "JSON Lines on stdout (also when stdout is no terminal)");
  command->add_option("--serial-format", args->serial_format,
                      "Serial number of each unit, one run of # as the counter (L7-######), "
                      "written through the serial-number override")
      ->type_name("TEXT");
  command->add_option("--serial-start", args->serial_start, "First serial number (default 1)")
      ->type_name("N");
  command
      ->add_option("--serial-list", args->serial_list,
                   "Serial numbers given in advance, one a line, each used once (kept in the log "
                   "under the file's name)")
      ->type_name("FILE");
  command->add_option("--serial-list-name", args->serial_list_name,
                      "The name the list's numbers are kept under in the log (default: the "
                      "file's name); alone, with a line database: the list imported into it "
                      "that the station leases its numbers from")
      ->type_name("NAME");
  command
      ->add_option("--serial-program", args->serial_program,
                   "The factory's program that gives each unit's serial number: run without a "
                   "shell with --station NAME --port PORT --count N added; one number a line "
                   "or {\"serial\":\"...\"} on its standard output")
      ->type_name("'CMD ARGS'");
  command
      ->add_option("--serial-program-timeout", args->serial_program_timeout_seconds,
                   "Seconds the serial program may take to answer")
      ->type_name("SECONDS")
      ->capture_default_str();
  args->log.AddTo(*command);
  args->result.AddTo(*command);
  AddDeviceOptions(*command, args->device, /*with_port=*/false);
  args->replug.AddTo(*command);
  command
      ->add_option("--replug-timeout", args->replug_timeout_seconds,
                   "Seconds to wait for a chip to come back in ROM mode after the erase")
      ->type_name("SECONDS")
      ->capture_default_str();
  command
      ->add_option("--sim-pause", args->sim_pause_seconds,
                   "With --simulate and --loop: seconds the virtual operator takes to plug in the "
                   "next chip")
      ->type_name("SECONDS")
      ->capture_default_str();
  command->callback(
      [args, command, &context] { context.exit_code = RunStation(*args, *command, context); });
}

}  // namespace qz::cli
