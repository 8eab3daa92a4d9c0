// The production log's options and the row a command's units share.
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli/cli_common.h"

namespace qz::cli {

void ProductionLogArgs::AddTo(CLI::App& command) {
  command
      .add_option("--log", log,
                  "Production log to record every unit in: a SQLite file (station default: "
#ifdef _WIN32
                  "%LOCALAPPDATA%\\qz670x-mp\\production.sqlite3), or a line database as "
                  "postgresql://HOST/DB?sslmode=verify-full or service=NAME (no password on the "
                  "command line: %APPDATA%\\postgresql\\pgpass.conf, the service file or "
                  "PGPASSWORD)"
#else
                  "$XDG_DATA_HOME/qz670x-mp/production.sqlite3), or a line database as "
                  "postgresql://HOST/DB?sslmode=verify-full or service=NAME (no password on the "
                  "command line: ~/.pgpass, the service file or PGPASSWORD)"
#endif
                  )
      ->type_name("FILE|URI");
  command.add_option("--station", station_name, "Station name in the log (default: host name)")
      ->type_name("NAME");
  command
      .add_option("--serial-block", serial_block,
                  "With a line database: serial numbers leased at once (default 16). The numbers "
                  "no unit took go back when the command ends, or after a crash at the next start with "
                  "the same journal")
      ->type_name("N");
  command
      .add_option("--journal", journal,
                  "With a line database: the station's local journal, where units are written "
                  "first and pushed from (default: "
#ifdef _WIN32
                  "%LOCALAPPDATA%\\qz670x-mp\\journal-STATION.sqlite3)"
#else
                  "$XDG_DATA_HOME/qz670x-mp/journal-STATION.sqlite3)"
#endif
                  )
      ->type_name("FILE");
}

prodlog::LogOptions LogOptionsFor(const ProductionLogArgs& args) {
  prodlog::LogOptions options;
  options.serial_block = args.serial_block;
  options.journal = args.journal;
  options.result_targets = args.result_targets;
  return options;
}

Exit LogOpenFailed(const prodlog::LogError& error, const Output& output) {
  *output.err << "qz670x-mp-cli: " << error.message << '\n';
  return error.kind == prodlog::LogError::Kind::kUsage ? Exit::kUsage : Exit::kIoError;
}

std::unique_ptr<prodlog::ProductionLog> OpenProductionLog(const ProductionLogArgs& args,
                                                          const Output& output,
                                                          const prodlog::UnitStart& units,
                                                          Exit* exit) {
  std::string location = args.log;
  prodlog::LogError error;
  std::unique_ptr<prodlog::ProductionLog> log =
      prodlog::OpenUnitLog(location, units, LogOptionsFor(args), &error);
  if (!log) *exit = LogOpenFailed(error, output);
  return log;
}

std::string StationName(const ProductionLogArgs& log) {
  return log.station_name.empty() ? prodlog::HostName() : log.station_name;
}

prodlog::UnitStart UnitStartFor(const std::string& image, bool factory,
                                const DescriptorOptions& descriptor, const ProductionLogArgs& log) {
  prodlog::UnitStart start;
  start.station = StationName(log);
  start.image_path = image;
  std::string ignored;
  start.image_sha256 = prodlog::FileSha256Hex(image, &ignored);
  prodlog::SetMode(start, factory);
  start.overrides = descriptor.Applied();
  return start;
}

std::vector<std::string> JobDecidedOptions() {
  std::vector<std::string> names = {"IMAGE", "--factory", "--developer", "--evb", "--vid", "--pid"};
  for (std::string_view name : jobs::kOverrideNames) names.push_back("--" + std::string(name));
  return names;
}

std::optional<int> PrepareRun(const CLI::App& command, const std::string& job_path,
                              const std::vector<std::string>& decided, ProductionLogArgs& log,
                              const Output& output, RunSetup* setup) {
  std::string error;
  std::optional<production::StationSettings> settings = production::LoadStationSettings(&error);
  if (!settings) {
    *output.err << "qz670x-mp-cli: " << error << '\n';
    return static_cast<int>(Exit::kConfig);
  }
  setup->settings = *settings;
  if (log.log.empty()) log.log = settings->log;
  if (log.station_name.empty()) log.station_name = settings->station;
  // the journal and the leased blocks belong to a line database
  for (const char* name : {"--journal", "--serial-block"}) {
    const CLI::Option* option = command.get_option_no_throw(name);
    if (option == nullptr || option->count() == 0 || prodlog::IsDatabaseLocation(log.log)) continue;
    *output.err << "qz670x-mp-cli: " << name
                << " does nothing without a line database (--log postgresql://... or "
                   "service=NAME)\n";
    return static_cast<int>(Exit::kUsage);
  }
  if (job_path.empty()) {
    if (!settings->require_signed_jobs) return std::nullopt;
    *output.err << "qz670x-mp-cli: this station runs only signed production jobs "
                   "(require-signed-jobs in "
                << settings->file << "): give --job JOB\n";
    return static_cast<int>(Exit::kJobRefused);
  }
  for (const std::string& name : decided) {
    const CLI::Option* option = command.get_option_no_throw(name);
    if (option == nullptr || option->count() == 0) continue;
    *output.err << "qz670x-mp-cli: " << name
                << " cannot be given with --job: the job decides it\n";
    return static_cast<int>(Exit::kUsage);
  }
  jobs::JobRefusal refusal;
  setup->job = jobs::PrepareJobRun(job_path, settings->Policy(StationName(log)), &refusal);
  if (setup->job) {
    if (setup->job->signature == jobs::JobSignature::kUnsigned) {
      const std::string notice = jobs::UnsignedJobNotice(*setup->job);
      if (output.json) {
        output.JsonLine(JsonText({{"type", "note"}, {"file", job_path}, {"message", notice}}));
      } else {
        *output.err << "qz670x-mp-cli: " << notice << '\n';
      }
    }
    return std::nullopt;
  }
  for (const MessageBoxRequest& message : refusal.messages) output.Message(message);
  if (!refusal.message.empty()) *output.err << "qz670x-mp-cli: " << refusal.message << '\n';
  return static_cast<int>(refusal.exit);
}

}  // namespace qz::cli
