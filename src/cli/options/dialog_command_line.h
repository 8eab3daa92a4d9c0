#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/options/device_options.h"
#include "cli/options/replug_options.h"

namespace qz::cli {

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

}  // namespace qz::cli
