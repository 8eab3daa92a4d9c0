// Options that would do nothing, or contradict each other, are refused as usage errors before
// any command runs: an operator who typed them meant something the command would not do.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "sim/virtual_chip.h"

namespace qz::cli {

namespace {

// `option` does something only beside one of `needs`.
struct NeedsRule {
  const char* option;
  std::vector<const char*> needs;
};
const NeedsRule kNeedsRules[] = {
    {"--serial-start", {"--serial-format"}},
    {"--serial-program-timeout", {"--serial-program"}},
    {"--units", {"--loop"}},
    {"--sim-pause", {"--loop"}},
    {"--sim-pause", {"--simulate"}},
    {"--sim-virtual-time", {"--simulate", "--sim-replay"}},
    {"--by", {"--summary"}},
};

// Options that cannot be given together.
struct ExcludesRule {
  const char* first;
  const char* second;
};
const ExcludesRule kExcludesRules[] = {
    {"--ports", "--all-ports"},
    {"--serial-format", "--serial-list"},
    {"--serial-format", "--serial-program"},
    {"--serial-list", "--serial-program"},
    {"--serial-format", "--serial-list-name"},
    {"--serial-program", "--serial-list-name"},
};

// A number's range, said in words: "--units takes 1 or more".
struct RangeRule {
  const char* option;
  double low;
  double high;  // infinity: no upper bound
  const char* unit;
};
constexpr double kNoLimit = std::numeric_limits<double>::infinity();
const RangeRule kRangeRules[] = {
    {"--units", 1, kNoLimit, ""},
    {"--replug-timeout", 0, kNoLimit, " seconds"},
    {"--sim-pause", 0, kNoLimit, " seconds"},
    {"--serial-block", 1, 100000, ""},
    {"--serial-program-timeout", 0.001, 3600, " seconds"},
    {"--result-timeout", 0.001, 3600, " seconds"},
    {"--length", 1, 32768, " bytes"},
};

const CLI::Option* Given(const CLI::App& command, const char* name) {
  const CLI::Option* option = command.get_option_no_throw(name);
  return option != nullptr && option->count() > 0 ? option : nullptr;
}

bool Has(const CLI::App& command, const char* name) {
  return command.get_option_no_throw(name) != nullptr;
}

std::string Number(double value) {
  const double whole = std::floor(value);
  if (whole == value) return std::to_string(static_cast<long long>(whole));
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string RangeProblem(const CLI::App& command, const RangeRule& rule) {
  const CLI::Option* option = Given(command, rule.option);
  if (option == nullptr) return {};
  const std::string text = option->results().empty() ? std::string() : option->results().back();
  double value = 0;
  const bool read = CLI::detail::lexical_cast(text, value) && std::isfinite(value);
  if (read && value >= rule.low && value <= rule.high) return {};
  std::string words = std::string(rule.option) + " takes " + Number(rule.low);
  words += rule.high == kNoLimit ? " or more" : " to " + Number(rule.high);
  return words + rule.unit + ", not " + (text.empty() ? "\"\"" : text);
}

// A fault for one virtual chip names a port the virtual station holds.
std::string FaultPortProblem(const CLI::App& command) {
  const CLI::Option* faults = Given(command, "--sim-fault");
  const CLI::Option* simulate = Given(command, "--simulate");
  if (faults == nullptr || simulate == nullptr) return {};
  int chips = 1;
  if (!simulate->results().empty() && !simulate->results().back().empty()) {
    (void)CLI::detail::lexical_cast(simulate->results().back(), chips);
  }
  for (const std::string& text : faults->results()) {
    std::string port, error;
    if (!ParsePortFault(text, &port, &error) || port.empty()) continue;
    int number = 0;
    if (port.rfind("sim-", 0) == 0 && CLI::detail::lexical_cast(port.substr(4), number) &&
        number >= 1 && number <= chips) {
      continue;
    }
    return "--sim-fault " + text + ": the virtual station has ports sim-1..sim-" +
           std::to_string(chips) + " (--simulate " + std::to_string(chips) + ")";
  }
  return {};
}

}  // namespace

std::string UselessOptionProblem(const CLI::App& command) {
  for (const ExcludesRule& rule : kExcludesRules) {
    if (Given(command, rule.first) != nullptr && Given(command, rule.second) != nullptr) {
      return std::string(rule.first) + " and " + rule.second + " exclude each other";
    }
  }
  for (const NeedsRule& rule : kNeedsRules) {
    if (Given(command, rule.option) == nullptr) continue;
    bool present = false;
    std::string names;
    for (const char* need : rule.needs) {
      if (!Has(command, need)) present = true;  // a command without it: the rule is not its own
      if (Given(command, need) != nullptr) present = true;
      names += names.empty() ? need : std::string(" or ") + need;
    }
    if (!present) return std::string(rule.option) + " does nothing without " + names;
  }
  for (const RangeRule& rule : kRangeRules) {
    if (std::string why = RangeProblem(command, rule); !why.empty()) return why;
  }
  if (std::string why = FaultPortProblem(command); !why.empty()) return why;
  if (Given(command, "--power-off-time") != nullptr) {
    const CLI::Option* replug = Given(command, "--replug");
    if (replug == nullptr || replug->results().empty() || replug->results().back() == "operator") {
      return "--power-off-time does nothing without --replug power or auto";
    }
  }
  for (const CLI::App* sub : command.get_subcommands()) {
    if (std::string why = UselessOptionProblem(*sub); !why.empty()) return why;
  }
  return {};
}

std::optional<std::string> UnknownCommand(const CLI::App& app,
                                          const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.empty() && arg[0] == '-') continue;  // --json, --help, --version
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->check_name(arg)) return std::nullopt;
    }
    return "unknown command '" + arg + "'";
  }
  return std::nullopt;
}

std::string WritablePathProblem(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = PathFromUtf8(path);
  const bool is_directory = fs::is_directory(target, ec);
  fs::path folder = is_directory ? target : target.parent_path();
  if (folder.empty()) folder = ".";
  if (!fs::is_directory(folder, ec)) {
    return path + ": cannot be written: the folder " + PathToUtf8(folder) + " does not exist";
  }
#ifndef _WIN32
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return path + ": cannot be written: the folder " + PathToUtf8(folder) + " is not writable";
  }
  if (!is_directory && fs::exists(target, ec) && ::access(target.c_str(), W_OK) != 0) {
    return path + ": cannot be written: the file is read-only";
  }
#endif
  return {};
}

std::string SimEepromProblem(const DeviceConfig& device) {
  if (device.sim_eeprom.empty()) return {};
  std::error_code ec;
  const bool folder = std::filesystem::is_directory(PathFromUtf8(device.sim_eeprom), ec);
  // a folder for several chips that is not there yet is made as the session starts
  if (device.simulate > 1 && !folder) return {};
  const std::string why = WritablePathProblem(device.sim_eeprom);
  return why.empty() ? why : "--sim-eeprom " + why;
}

}  // namespace qz::cli
