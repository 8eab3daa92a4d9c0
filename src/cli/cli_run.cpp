#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "cli/cli_common.h"
#include "cli/terminal.h"
#include "hid/platform/hidraw_access.h"

namespace qz::cli {

namespace {

// Paths are taken through the dialog's 260-character buffers.
constexpr std::size_t kMaxPathChars = 259;

// The exit status lines of --help, each with the status it explains (1: the numbered outcomes).
struct ExitLine {
  int code;
  const char* text;
};
constexpr ExitLine kExitLines[] = {
    {0, "  0      success (\"Write to EEPROM OK!\", \"Save File OK!\", image valid)\n"},
    {1, "  1-12   the write job's numbered outcome \"Write to EEPROM Fail!  Try Again!(N)\"\n"},
    {13, "  13     the header read after the commit failed\n"},
    {20, "  20     the image was rejected\n"},
    {21, "  21     a descriptor override was rejected\n"},
    {22, "  22     no chip found\n"},
    {23, "  23     erase or mode preparation failed\n"},
    {24, "  24     the update file could not be written\n"},
    {25, "  25     the chip did not come back in ROM mode after the erase\n"},
    {26, "  26     the production job was refused (unreadable, altered, untrusted, not for this\n"
         "         station), or this station runs only signed jobs\n"},
    {27, "  27     --replug power could not re-plug the chip by switching its port's power\n"},
    {64, "  64     usage error\n"},
    {74, "  74     a file or the device session could not be read or written\n"},
    {78, "  78     the station configuration cannot be used\n"},
    {130, "  130    interrupted by SIGINT; a write was stopped (the chip must be written again)\n"},
    {143, "  143    interrupted by SIGTERM; likewise\n"},
};
const std::vector<int> kEveryExit = {0, 1, 13, 20, 21, 22, 23, 24, 25, 26, 27, 64, 74, 78, 130, 143};

// "Exit status:" and the lines of `codes`; `replaced` gives a command's own text of a status.
std::string ExitFooter(const std::vector<int>& codes,
                       const std::vector<ExitLine>& replaced = {}) {
  std::string footer = "Exit status:\n";
  for (const ExitLine& line : kExitLines) {
    if (std::find(codes.begin(), codes.end(), line.code) == codes.end()) continue;
    const auto own = std::find_if(replaced.begin(), replaced.end(),
                                  [&line](const ExitLine& r) { return r.code == line.code; });
    footer += own != replaced.end() ? own->text : line.text;
  }
  footer.pop_back();  // the help adds the last line's end
  return footer;
}

// What each command can end with, its --help's footer; and --json on each, as it takes it.
void DescribeCommands(CLI::App& app, Output& output) {
  const std::vector<int> job = {0, 20, 21, 26, 64, 74, 78};
  const std::map<std::string, std::vector<int>> exits = {
      {"check", {0, 20, 64}},
      {"save", {0, 20, 21, 24, 64}},
      {"list", {0, 22, 64, 74}},
      {"read", {0, 22, 64, 74, 130, 143}},
      {"write", {0, 1, 13, 20, 21, 22, 23, 25, 26, 27, 64, 74, 78, 130, 143}},
      {"station", {0, 1, 20, 21, 22, 26, 64, 74, 78, 130, 143}},
      {"log", {0, 64, 74, 78}},
      {"job", job},
      {"dashboard", {0, 64, 74}},
  };
  const std::vector<ExitLine> station_lines = {{1, "  1      a unit failed (its own status is in its unit line)\n"},
                                               {130, "  130    interrupted twice by SIGINT; running writes were stopped\n"},
                                               {143, "  143    interrupted twice by SIGTERM; likewise\n"}};
  for (CLI::App* command : app.get_subcommands({})) {
    const auto found = exits.find(command->get_name());
    if (found == exits.end()) continue;
    const std::string footer =
        ExitFooter(found->second, command->get_name() == "station" ? station_lines
                                                                    : std::vector<ExitLine>{});
    std::vector<CLI::App*> leaves = command->get_subcommands({});
    if (leaves.empty()) leaves.push_back(command);
    if (command != leaves.front()) command->footer(footer);
    for (CLI::App* leaf : leaves) {
      leaf->footer(footer);
      if (leaf->get_option_no_throw("--json") == nullptr) {
        leaf->add_flag("--json", output.json,
                       "Print JSON Lines on stdout instead of messages on stderr");
      }
    }
  }
}

}  // namespace

const char* IconName(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kNone:
      return "none";
    case MessageIcon::kStop:
      return "stop";
    case MessageIcon::kInformation:
      return "information";
  }
  return "none";
}

std::string JsonText(const nlohmann::json& line) {
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string LineStateJson(const prodlog::LineState& state) {
  nlohmann::json line = {
      {"type", "line"}, {"state", state.online ? "online" : "offline"}, {"pending", state.pending}};
  if (!state.online && !state.why.empty()) line["why"] = state.why;
  return JsonText(line);
}

void Output::Message(const MessageBoxRequest& message) const {
  if (json) {
    nlohmann::json line = {{"type", "message"},
                           {"caption", message.caption},
                           {"text", message.text},
                           {"icon", IconName(message.icon)}};
    if (!message.detail.empty()) line["detail"] = message.detail;
    *out << JsonText(line) << '\n' << std::flush;
  } else {
    *err << message.text << '\n';
    if (terminal && !message.detail.empty()) *err << "qz670x-mp-cli: " << message.detail << '\n';
    *err << std::flush;
  }
  // Beside "not found": a chip that is there but that this account may not open.
  if (message.about != MessageAbout::kDeviceNotFound) return;
  for (const std::string& hint : UnopenableChipHints()) {
    if (json) {
      *out << nlohmann::json{{"type", "hint"}, {"text", hint}}.dump() << '\n' << std::flush;
    } else {
      *err << "qz670x-mp-cli: " << hint << '\n' << std::flush;
    }
  }
}

void Output::JsonLine(const std::string& json_text) const {
  if (json) *out << json_text << '\n' << std::flush;
}

void Output::Result(int exit_code, const std::vector<std::pair<std::string, int>>& counts) const {
  if (!json) return;
  nlohmann::json line{{"type", "result"}, {"exit", exit_code}};
  for (const auto& [name, value] : counts) line[name] = value;
  *out << line.dump() << '\n' << std::flush;
}

const CLI::Validator& PathLengthValidator() {
  static const CLI::Validator validator{
      [](std::string& path) -> std::string {
        if (TruncateUtf16Units(path, kMaxPathChars) == path) return {};
        return "path longer than 259 characters: " + path;
      },
      ""};
  return validator;
}

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  Context context;
  context.output.out = &out;
  context.output.err = &err;
  context.output.terminal = &err == &std::cerr && StandardErrorIsTerminal();

  CLI::App app{"qz670x-mp-cli: checks and patches QZ670x firmware images and writes them into "
               "the chip's EEPROM",
               "qz670x-mp-cli"};
  // Options are spelt the same on every platform: "/path/image.bin" is a file, never an option
  // (CLI11 would read /x as an option on Windows).
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("qz670x-mp-cli ") + QZ_VERSION);
  app.require_subcommand(1);
  app.add_flag("--json", context.output.json,
               "Print JSON Lines on stdout instead of messages on stderr");
  app.fallthrough();
  app.footer(ExitFooter(kEveryExit));

  AddImageCommands(app, context);
  AddDeviceCommands(app, context);
  AddWriteCommand(app, context);
  AddStationCommand(app, context);
  AddLogCommand(app, context);
  AddJobCommand(app, context);
  AddDashboardCommand(app, context);
  DescribeCommands(app, context.output);

  const std::vector<std::string> args = SplitEmptyOptionValues(argc, argv);
  if (const std::optional<std::string> unknown = UnknownCommand(app, args)) {
    err << "qz670x-mp-cli: " << *unknown << '\n' << "Run with --help for more information.\n";
    context.output.Result(static_cast<int>(Exit::kUsage));
    return static_cast<int>(Exit::kUsage);
  }
  // before any command runs: options that would do nothing are refused
  app.parse_complete_callback([&app] {
    for (const CLI::App* command : app.get_subcommands()) {
      if (std::string why = UselessOptionProblem(*command); !why.empty()) {
        throw CLI::ValidationError(why);
      }
    }
  });
  std::vector<const char*> arg_pointers;
  for (const std::string& arg : args) arg_pointers.push_back(arg.c_str());

  try {
    app.parse(static_cast<int>(arg_pointers.size()), arg_pointers.data());
  } catch (const CLI::CallForHelp& e) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp& e) {
    out << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& e) {
    err << "qz670x-mp-cli: " << e.what() << '\n'
        << "Run with --help for more information.\n";
    context.output.Result(static_cast<int>(Exit::kUsage));
    return static_cast<int>(Exit::kUsage);
  }
  context.output.Result(context.exit_code, context.result_counts);
  return context.exit_code;
}

}  // namespace qz::cli
