#include "cli/device_options.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "sim/virtual_chip.h"
#include "prodlog/production_log.h"
#include "station/unit_run.h"
#include "virtual_station/virtual_port_power.h"

namespace qz::cli {

void DeviceOptions::AddTo(CLI::App& command, bool with_port) {
  CLI::Option* simulate_flag =
      command
          .add_option("--simulate", simulate,
                      "Talk to N virtual chips (default 1, at most 64) on ports sim-1..sim-N "
                      "instead of the USB HID devices")
          ->expected(0, 1)
          ->default_str("1")
          ->type_name("[N]")
          ->check([](const std::string& text) -> std::string {
            int count = 0;
            if (!CLI::detail::lexical_cast(text, count)) return "N must be a whole number";
            if (count < 1 || count > kMaxVirtualChips) {
              return "the virtual station holds 1 to " + std::to_string(kMaxVirtualChips) +
                     " chips (sim-1..sim-" + std::to_string(kMaxVirtualChips) + "), not " + text;
            }
            return {};
          });
  command
      .add_option("--sim-eeprom", sim_eeprom,
                  "EEPROM content of the virtual chip: read at start when the file exists "
                  "(32768 bytes), else all 0xFF; written back at the end. With several chips (or "
                  "a directory) one file DIR/sim-K.bin per port")
      ->type_name("FILE|DIR")
      ->needs(simulate_flag);
  command
      .add_option("--sim-mode", sim_mode,
                  "Mode of the virtual chip at plug-in (default: firmware when the EEPROM holds a "
                  "firmware header, else rom)")
      ->check(CLI::IsMember({"firmware", "rom"}))
      ->needs(simulate_flag);
  command
      .add_flag("--sim-virtual-time", sim_virtual_time,
                "The protocol's pauses and time-outs pass at once: a job takes as long as its "
                "work, not its pacing (dry runs, tests of whole programs); with --simulate or "
                "--sim-replay");
  command
      .add_option("--sim-fault", sim_faults,
                  "Misbehaviour of the virtual chip, repeatable: status=N, identity=HEX, "
                  "no-reply@K, stale@K, corrupt@ADDR, no-reply-reg=HEX, absent, "
                  "lie@ADDR (a write over ADDR is acknowledged but that byte not stored), "
                  "garbage@K (the K-th EEPROM transfer is answered with random bytes), "
                  "dup@K (its reply comes twice), "
                  "unplug@K (the chip drops off the bus at the K-th EEPROM transfer and comes "
                  "back 1.5 s later in the same mode), "
                  "replug-firmware (after an erase it comes back running its firmware), "
                  "random=SEED (a schedule of these faults drawn from SEED); sim-K:SPEC for "
                  "the chip on port sim-K only")
      ->type_name("SPEC")
      ->allow_extra_args(false)
      ->check([](const std::string& text) {
        std::string error;
        std::string fault_port;
        return ParsePortFault(text, &fault_port, &error) ? std::string() : error;
      })
      ->needs(simulate_flag);
  command.add_option("--trace", trace, "Write every HID report sent and received to FILE")
      ->type_name("FILE");
  command
      .add_option("--record", record,
                  "Record the HID session to FILE as JSON Lines (a header, every report with its "
                  "time, arrivals and removals; the image only as its SHA-256 and length), to "
                  "hand a misbehaving chip's session to a developer. `station` writes one file "
                  "per port, the port put before the extension: rec.jsonl gives rec.1-4.2.jsonl")
      ->type_name("FILE");
  command
      .add_option("--sim-replay", sim_replay,
                  "A virtual chip that plays back a recording made with --record: it answers "
                  "exactly as recorded and stops the job at the first report that differs, "
                  "naming it. Repeatable: the K-th recording on port sim-K")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->excludes(simulate_flag);
  if (with_port) {
    command
        .add_option("--port", port,
                    "Only the chip on this USB port (as `list` shows it: 1-4.2, or sim-1 for the "
                    "virtual chip)")
        ->type_name("PATH");
  }
}

void DeviceOptions::DescribeSession(const std::string& image, const std::string& app_name) {
  program = app_name + " " + QZ_VERSION;
  if (record.empty() && sim_replay.empty()) return;
  // an image that cannot be read is refused later, by the dialog's own check
  std::string ignored;
  image_sha256 = prodlog::FileSha256Hex(image, &ignored);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(image, error);
  image_length = error ? 0 : static_cast<std::uint64_t>(size);
}

void ReplugOptions::AddTo(CLI::App& command) {
  command
      .add_option("--replug", mode,
                  "Who re-plugs the chip after the erase: operator (the operator pulls and "
                  "re-inserts the cable when asked), power (the chip's hub port is switched off "
                  "and on through the kernel's sysfs `disable`, Linux 6.0 or later; virtual "
                  "chips too), auto (power, and the operator where the port cannot be switched). "
                  "On Windows only the operator re-plugs")
      ->check(CLI::IsMember({"operator", "power", "auto"}))
      ->type_name("MODE")
      ->capture_default_str();
  command
      .add_option("--power-off-time", power_off_seconds,
                  "With --replug power or auto: seconds the port's power stays off once the chip "
                  "has left the bus")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 600.0))
      ->capture_default_str();
}

station::ReplugMode ReplugOptions::Mode() const {
  return station::ParseReplugMode(mode).value_or(station::ReplugMode::kOperator);
}

void PrepareForReplug(const ReplugOptions& replug, DeviceConfig& device) {
  device.sim_wait_for_replug = replug.Mode() != station::ReplugMode::kOperator;
}

std::optional<PowerReplugParts> MakePowerReplug(const ReplugOptions& replug,
                                                DeviceSession& session, std::string* error) {
  PowerReplugParts parts;
  const station::ReplugMode mode = replug.Mode();
  if (mode == station::ReplugMode::kOperator) return parts;
  if (!session.SimPorts().empty()) {
    parts.power = std::make_unique<station::VirtualPortPower>(
        [&session](const std::string& port) { return session.ChipOnPort(port); });
  } else {
    parts.power = station::MakePlatformPortPower();
  }
  if (parts.power == nullptr) {
    if (mode == station::ReplugMode::kPower) {
      *error = "--replug power: this platform cannot switch a USB port's power; the operator "
               "re-plugs the chip (--replug operator)";
      return std::nullopt;
    }
    return parts;  // auto: the operator, and each unit says why
  }
  station::PowerTimings timings;
  timings.off_time = std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(replug.power_off_seconds));
  parts.replugger =
      std::make_unique<station::PowerReplugger>(*parts.power, session.GetClock(), timings);
  return parts;
}

DialogCommandLine::DialogCommandLine(const std::string& app_name)
    : app_name_(app_name),
      parser_("QZ670x EEPROM writer: the operator's dialog. Without options it works with the "
              "chips on the USB bus; --simulate gives it a virtual chip instead.",
              app_name) {
  parser_.set_version_flag("--version", app_name + " " + QZ_VERSION);
  options_.program = app_name + " " + QZ_VERSION;  // for a recording's header
  options_.AddTo(parser_);
  replug_.AddTo(parser_);
}

DeviceConfig DialogCommandLine::Options() const {
  DeviceConfig config = options_;
  PrepareForReplug(replug_, config);
  return config;
}

std::optional<int> DialogCommandLine::Parse(std::vector<std::string> args, std::string* out,
                                            std::string* err) {
  if (!args.empty()) args.erase(args.begin());
  std::reverse(args.begin(), args.end());  // CLI11 takes them last first
  try {
    parser_.parse(args);
  } catch (const CLI::CallForHelp&) {
    *out = parser_.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    *out = std::string(e.what()) + "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    *err = app_name_ + ": " + e.what() + "\nRun with --help for more information.\n";
    return static_cast<int>(station::Exit::kUsage);
  }
  return std::nullopt;
}

}  // namespace qz::cli
