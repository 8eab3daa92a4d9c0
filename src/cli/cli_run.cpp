#include <iostream>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "cli/cli_common.h"
#include "cli/terminal.h"
#include "hid/platform/hidraw_access.h"

namespace qz::cli {

namespace {

// Paths are taken through the dialog's 260-character buffers.
constexpr std::size_t kMaxPathChars = 259;

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
  app.footer(
      "Exit status:\n"
      "  0      success (\"Write to EEPROM OK!\", \"Save File OK!\", image valid)\n"
      "  1-12   the write job's numbered outcome \"Write to EEPROM Fail!  Try Again!(N)\"\n"
      "  13     the header read after the commit failed\n"
      "  20     the image was rejected\n"
      "  21     a descriptor override was rejected\n"
      "  22     no chip found\n"
      "  23     erase or mode preparation failed\n"
      "  24     the update file could not be written\n"
      "  25     the chip did not come back in ROM mode after the erase\n"
      "  26     the production job was refused (unreadable, altered, untrusted, not for this\n"
      "         station), or this station runs only signed jobs\n"
      "  27     --replug power could not re-plug the chip by switching its port's power\n"
      "  64     usage error\n"
      "  74     a file or the device session could not be read or written\n"
      "  78     the station configuration cannot be used\n"
      "  130    interrupted by SIGINT; a write was stopped (the chip must be written again)\n"
      "  143    interrupted by SIGTERM; likewise");

  AddImageCommands(app, context);
  AddDeviceCommands(app, context);
  AddWriteCommand(app, context);
  AddStationCommand(app, context);
  AddLogCommand(app, context);
  AddJobCommand(app, context);

  const std::vector<std::string> args = SplitEmptyOptionValues(argc, argv);
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
