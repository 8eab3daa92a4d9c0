// `station`: several chips at once, one per USB port, unit after unit with --loop. The station
// itself lives in src/station; this file gives it options, a terminal view and JSON Lines.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "cli/options/replug_options.h"
#include "cli/interrupt.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/port_scoped_backend.h"
#include "recording/session_recording.h"
#include "prodlog/serial_numbers.h"
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
  DescriptorOptions descriptor;
  DeviceOptions device;
  ReplugOptions replug;
  ProductionLogArgs log;
  std::string job;  // --job: the production job decides image, mode, overrides, target, serials
};

// What the operator sees: JSON Lines, or one line per port redrawn in place and a totals line.
class StationView final : public station::StationObserver {
 public:
  StationView(const Output& output, const std::vector<std::string>& ports, bool terminal)
      : output_(output), terminal_(terminal) {
    for (const std::string& port : ports) lines_[port] = Line{};
    order_ = ports;
  }

  void OnPortState(const std::string& port, station::PortState state) override {
    std::lock_guard lock(mutex_);
    // a port taken up after the start gets a line of its own
    if (lines_.find(port) == lines_.end()) order_.push_back(port);
    Line& line = lines_[port];
    line.state = state;
    if (state == station::PortState::kWaiting) line.detail.clear();
    Redraw();
  }
  void OnProgress(const std::string& port, int percent) override {
    std::lock_guard lock(mutex_);
    Line& line = lines_[port];
    if (line.percent == percent) return;
    line.percent = percent;
    if (output_.json) {
      *output_.out << JsonText({{"type", "progress"}, {"port", port}, {"percent", percent}}) << '\n'
                   << std::flush;
    }
    Redraw();
  }
  void OnMessage(const std::string& port, const MessageBoxRequest& message) override {
    std::lock_guard lock(mutex_);
    if (output_.json) {
      *output_.out << JsonText({{"type", "message"},
                            {"port", port},
                            {"caption", message.caption},
                            {"text", message.text},
                            {"icon", IconName(message.icon)}})
                   << '\n'
                   << std::flush;
    } else if (!terminal_) {
      *output_.err << port << ": " << message.text << '\n';
    }
    lines_[port].detail = message.text;
    Redraw();
  }
  void OnUnitStarted(const std::string& port, const std::string& serial) override {
    std::lock_guard lock(mutex_);
    Line& line = lines_[port];
    line.serial = serial;
    line.percent = -1;
    line.detail.clear();
  }
  void OnUnitFinished(const station::UnitReport& unit) override {
    std::lock_guard lock(mutex_);
    if (output_.json) {
      nlohmann::json line{{"type", "unit"},          {"port", unit.port},
                          {"serial", unit.serial},   {"exit", unit.exit},
                          {"message", unit.message}, {"duration_ms", unit.duration.count()},
                          {"replug", unit.replug}};
      if (!unit.detail.empty()) line["detail"] = unit.detail;
      if (unit.log_failed) line["log_failed"] = true;
      *output_.out << JsonText(line) << '\n' << std::flush;
    }
    Line& line = lines_[unit.port];
    line.detail = unit.passed ? ""
                              : "(" + std::to_string(unit.exit) + ") " + unit.message +
                                    (unit.detail.empty() ? "" : ": " + unit.detail);
  }
  void OnTotals(const station::StationTotals& totals) override {
    std::lock_guard lock(mutex_);
    totals_ = totals;
    Redraw();
  }
  void OnProblem(const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (output_.json) {
      *output_.out << JsonText({{"type", "problem"}, {"text", text}}) << '\n' << std::flush;
    } else {
      EndDrawing();
      *output_.err << kAppName << ": " << text << '\n' << std::flush;
    }
  }

  void OnPowerNote(const std::string& port, const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (output_.json) {
      *output_.out << JsonText({{"type", "power"}, {"port", port}, {"text", text}}) << '\n'
                   << std::flush;
    } else if (!terminal_) {
      *output_.err << port << ": " << text << '\n';
    }
    lines_[port].detail = text;
    Redraw();
  }

  // The line database behind the journal went away or came back, or units wait for it.
  void OnLine(const prodlog::LineState& state) {
    std::lock_guard lock(mutex_);
    line_ = state;
    if (output_.json) {
      *output_.out << JsonText({{"type", "line"},
                                {"state", state.online ? "online" : "offline"},
                                {"pending", state.pending}})
                   << '\n'
                   << std::flush;
    } else {
      EndDrawing();
      *output_.err << kAppName << ": " << LineText() << '\n' << std::flush;
      Redraw();
    }
  }

  // Leaves the drawn lines on the screen.
  void Finish() {
    std::lock_guard lock(mutex_);
    EndDrawing();
  }

 private:
  struct Line {
    station::PortState state = station::PortState::kWaiting;
    int percent = -1;
    std::string serial;
    std::string detail;
  };

  std::string Describe(const std::string& port, const Line& line) const {
    std::ostringstream text;
    text << port << "  ";
    switch (line.state) {
      case station::PortState::kProgramming:
        text << "programming " << std::max(line.percent, 0) << " %";
        break;
      case station::PortState::kPassed:
        text << "PASS, remove the unit";
        break;
      case station::PortState::kFailed:
        text << "FAIL " << line.detail << ", remove the unit";
        break;
      default:
        text << station::PortStateName(line.state);
    }
    if (!line.serial.empty()) text << "  " << line.serial;
    return text.str();
  }

  void Redraw() {
    if (!terminal_ || output_.json) return;
    std::ostream& out = *output_.out;
    if (drawn_ > 0) out << "\x1b[" << drawn_ << 'F';  // back to the first line drawn
    for (const std::string& port : order_) out << "\x1b[2K" << Describe(port, lines_[port]) << '\n';
    out << "\x1b[2K" << "units " << totals_.units << "  passed " << totals_.passed << "  failed "
        << totals_.failed << "  " << static_cast<long>(totals_.units_per_hour) << " units/h"
        << (line_.online ? "" : "  " + LineText()) << '\n'
        << std::flush;
    drawn_ = static_cast<int>(order_.size()) + 1;
  }
  void EndDrawing() { drawn_ = 0; }
  std::string LineText() const { return prodlog::LineStateText(line_); }

  const Output& output_;
  const bool terminal_;
  std::mutex mutex_;
  std::vector<std::string> order_;
  std::map<std::string, Line> lines_;
  station::StationTotals totals_;
  prodlog::LineState line_;
  int drawn_ = 0;
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

int Usage(const Output& output, const std::string& why) {
  *output.err << kAppName << ": " << why << '\n';
  return static_cast<int>(Exit::kUsage);
}

int RunStation(StationArgs& args, const CLI::App& command, Context& context) {
  Output& output = context.output;
  // JSON Lines whenever stdout is no terminal
  const bool stdout_terminal = output.out == &std::cout && isatty(STDOUT_FILENO) == 1;
  if (!stdout_terminal) output.json = true;

  std::vector<std::string> decided = JobDecidedOptions();
  decided.emplace_back("--serial-format");
  decided.emplace_back("--serial-start");
  RunSetup setup;
  if (const std::optional<int> refused =
          PrepareRun(command, args.job, decided, args.log, output, &setup)) {
    return *refused;
  }
  if (!setup.job && args.image.empty()) return Usage(output, "give the IMAGE to write, or --job JOB");
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
    // nothing more before the chips
  } else if (!args.serial_format.empty()) {
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
  }

  if (!setup.job) {
    const station::Exit checked = CheckBeforeAnyChip(plan.choices, output);
    if (checked != station::Exit::kOk) return static_cast<int>(checked);
    plan.choices.serial.reset();
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

  StationView view(output, plan.ports, stdout_terminal && !output.json);
  run->Log().SetLineListener([&view](const prodlog::LineState& state) { view.OnLine(state); });
  run->Build(bus, session->Hotplug(), clock, std::move(plan), view);
  run->Start();
  // The signals: the first lets running jobs finish, the second stops them.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    int acted = 0;
    while (!done.load()) {
      const int count = interrupts.Count();
      for (; acted < count && acted < 2; ++acted) {
        run->RequestStop();
        view.OnProblem(acted == 0 ? "interrupted by " + SignalName(interrupts.Signal()) +
                                        ": running jobs finish, no unit starts"
                                  : "interrupted again: stopping the running jobs");
      }
      std::this_thread::sleep_for(kSignalPoll);
    }
  });
  int exit_code = run->Join();
  done = true;
  watcher.join();
  // the journal's last units go to the line database now, while the view still shows it
  (void)run->Log().Flush();
  run->Log().SetLineListener({});
  view.Finish();

  const station::StationTotals totals = run->Totals();
  if (run->StopRequests() >= 2 && exit_code == 0) exit_code = InterruptedExit(interrupts.Signal());
  if (!session->Finish(&error)) {
    *output.err << kAppName << ": " << error << '\n';
    if (exit_code == 0) exit_code = static_cast<int>(Exit::kIoError);
  }
  run.reset();  // the station before the session whose bus it holds
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
      ->type_name("K")
      ->check(CLI::PositiveNumber);
  command->add_flag("--json", context.output.json, "JSON Lines on stdout (also when stdout is no terminal)");
  command->add_option("--serial-format", args->serial_format,
                      "Serial number of each unit, one run of # as the counter (L7-######), "
                      "written through the serial-number override")
      ->type_name("TEXT");
  command->add_option("--serial-start", args->serial_start, "First serial number (default 1)")
      ->type_name("N");
  args->log.AddTo(*command);
  AddDeviceOptions(*command, args->device, /*with_port=*/false);
  args->replug.AddTo(*command);
  command
      ->add_option("--replug-timeout", args->replug_timeout_seconds,
                   "Seconds to wait for a chip to come back in ROM mode after the erase")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command
      ->add_option("--sim-pause", args->sim_pause_seconds,
                   "With --simulate and --loop: seconds the virtual operator takes to plug in the "
                   "next chip")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command->callback(
      [args, command, &context] { context.exit_code = RunStation(*args, *command, context); });
}

}  // namespace qz::cli
