// The production log's options and the row a command's units share.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <climits>
#include <cstdlib>

#include "cli/cli_common.h"

namespace qz::cli {

void ProductionLogArgs::AddTo(CLI::App& command) {
  command
      .add_option("--log", log,
                  "Production log to record every unit in: a SQLite file (station default: "
                  "$XDG_DATA_HOME/qz670x-mp/production.sqlite3), or a line database as "
                  "postgresql://HOST/DB?sslmode=verify-full or service=NAME (no password on the "
                  "command line: ~/.pgpass, the service file or PGPASSWORD)")
      ->type_name("FILE|URI");
  command.add_option("--station", station_name, "Station name in the log (default: host name)")
      ->type_name("NAME");
  command
      .add_option("--serial-block", serial_block,
                  "With a line database: serial numbers leased at once (default 16). The numbers "
                  "no unit took go back when the command ends; after a crash they stay held")
      ->type_name("N")
      ->check(CLI::Range(1, 100000));
}

std::unique_ptr<prodlog::ProductionLog> OpenProductionLog(const ProductionLogArgs& args,
                                                          const Output& output) {
  std::string file = args.log;
  if (file.empty()) {
    std::string why;
    file = prodlog::DefaultLogPath(&why);
    if (file.empty()) {
      *output.err << "qz670x-mp-cli: " << why << '\n';
      return nullptr;
    }
  }
  prodlog::LogError error;
  prodlog::LogOptions options;
  options.serial_block = args.serial_block;
  std::unique_ptr<prodlog::ProductionLog> log = prodlog::ProductionLog::Open(file, &error, options);
  if (!log) *output.err << "qz670x-mp-cli: " << error.message << '\n';
  return log;
}

prodlog::UnitStart UnitStartFor(const std::string& image, bool factory,
                                const DescriptorOptions& descriptor, const ProductionLogArgs& log) {
  prodlog::UnitStart start;
  start.station = log.station_name;
  if (start.station.empty()) {
#ifdef _WIN32
    if (const char* host = std::getenv("COMPUTERNAME"); host != nullptr) start.station = host;
#else
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) start.station = host;
#endif
  }
  start.image_path = image;
  std::string ignored;
  start.image_sha256 = prodlog::FileSha256Hex(image, &ignored);
  start.mode = factory ? "factory" : "developer";
  start.write_length = factory ? 0x8000U : 0x4010U;
  start.overrides = descriptor.Applied();
  return start;
}

}  // namespace qz::cli
