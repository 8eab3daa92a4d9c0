#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "devices/device_session.h"

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

// The command line of the dialog programs (the Qt window and the native Windows dialog):
// nothing, or the device options, with --help and --version. A program may add its own options
// to Parser() before Parse.
class DialogCommandLine {
 public:
  explicit DialogCommandLine(const std::string& app_name);

  [[nodiscard]] CLI::App& Parser() { return parser_; }
  [[nodiscard]] const DeviceOptions& Options() const { return options_; }

  // Parses `args` (the program's own path first). nullopt: the program goes on. Otherwise the
  // program ends with that exit code, after showing `out` (help, version) or `err` (a usage
  // error, exit 64).
  [[nodiscard]] std::optional<int> Parse(std::vector<std::string> args, std::string* out,
                                         std::string* err);

 private:
  std::string app_name_;
  CLI::App parser_;
  DeviceOptions options_;
};

using DeviceSession = qz::DeviceSession;
using ScopedDeviceSessionHook = qz::ScopedDeviceSessionHook;

}  // namespace qz::cli
