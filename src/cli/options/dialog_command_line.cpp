#include "cli/options/dialog_command_line.h"

#include <algorithm>

#include "station/unit_run.h"

namespace qz::cli {

DialogCommandLine::DialogCommandLine(const std::string& app_name)
    : app_name_(app_name),
      parser_("QZ670x EEPROM writer: the operator's dialog. Without options it works with the "
              "chips on the USB bus; --simulate gives it a virtual chip instead.",
              app_name) {
  parser_.set_version_flag("--version", app_name + " " + QZ_VERSION);
  options_.program = app_name + " " + QZ_VERSION;  // for a recording's header
  AddDeviceOptions(parser_, options_);
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
