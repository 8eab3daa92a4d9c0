#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/clock.h"
#include "devices/device_session.h"
#include "portpower/port_power.h"

namespace qz::cli {

// Options of every command that talks to a chip: the real bus, or virtual chips.
struct DeviceOptions : DeviceConfig {
  // Registers --simulate[=N], --sim-eeprom, --sim-mode, --sim-fault, --trace, --record,
  // --sim-replay, and with
  // `with_port` --port.
  void AddTo(CLI::App& command, bool with_port = true);
  // The program and the image it writes, for a recording's header and a replay's check.
  void DescribeSession(const std::string& image, const std::string& app_name);
};

// Who re-plugs the chip after its erase: --replug and --power-off-time.
struct ReplugOptions {
  std::string mode = "operator";
  double power_off_seconds = 2.0;

  void AddTo(CLI::App& command);
  [[nodiscard]] station::ReplugMode Mode() const;
};

// The port power and re-plugger a program's units use; both null with the operator's re-plug.
struct PowerReplugParts {
  std::unique_ptr<station::PortPower> power;
  std::unique_ptr<station::PowerReplugger> replugger;
};

// Sets the device options the re-plug mode needs (virtual chips then wait for their re-plug).
void PrepareForReplug(const ReplugOptions& replug, DeviceConfig& device);

// Builds the parts for `session`: virtual ports for virtual chips, the platform's otherwise.
// nullopt with a reason in `error` when `--replug power` cannot work here (no port power on
// this platform).
[[nodiscard]] std::optional<PowerReplugParts> MakePowerReplug(const ReplugOptions& replug,
                                                              DeviceSession& session,
                                                              std::string* error);

// The command line of the dialog programs (the Qt window and the native Windows dialog):
// nothing, or the device options, with --help and --version. A program may add its own options
// to Parser() before Parse.
class DialogCommandLine {
 public:
  explicit DialogCommandLine(const std::string& app_name);

  [[nodiscard]] CLI::App& Parser() { return parser_; }
  // The device options, with what the re-plug mode needs of them.
  [[nodiscard]] DeviceConfig Options() const;
  [[nodiscard]] const ReplugOptions& Replug() const { return replug_; }

  // Parses `args` (the program's own path first). nullopt: the program goes on. Otherwise the
  // program ends with that exit code, after showing `out` (help, version) or `err` (a usage
  // error, exit 64).
  [[nodiscard]] std::optional<int> Parse(std::vector<std::string> args, std::string* out,
                                         std::string* err);

 private:
  std::string app_name_;
  CLI::App parser_;
  DeviceOptions options_;
  ReplugOptions replug_;
};

using DeviceSession = qz::DeviceSession;
using ScopedDeviceSessionHook = qz::ScopedDeviceSessionHook;

}  // namespace qz::cli
