// The production log's options and the row a command's units share.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "base/file_path.h"
#include "cli/cli_common.h"

namespace qz::cli {

void ProductionLogArgs::AddTo(CLI::App& command) {
  command
      .add_option("--log", log,
                  "Production log (SQLite) to record every unit in; station default: "
#ifdef _WIN32
                  "%LOCALAPPDATA%\\qz670x-mp\\production.sqlite3")
#else
                  "$XDG_DATA_HOME/qz670x-mp/production.sqlite3")
#endif
      ->type_name("FILE");
  command.add_option("--station", station_name, "Station name in the log (default: host name)")
      ->type_name("NAME");
}

std::unique_ptr<prodlog::ProductionLog> OpenProductionLog(const std::string& path,
                                                          const Output& output) {
  std::string file = path;
  if (file.empty()) {
    std::string why;
    file = prodlog::DefaultLogPath(&why);
    if (file.empty()) {
      *output.err << "qz670x-mp-cli: " << why << '\n';
      return nullptr;
    }
  }
  prodlog::LogError error;
  std::unique_ptr<prodlog::ProductionLog> log = prodlog::ProductionLog::Open(file, &error);
  if (!log) *output.err << "qz670x-mp-cli: " << error.message << '\n';
  return log;
}

prodlog::UnitStart UnitStartFor(const std::string& image, bool factory,
                                const DescriptorOptions& descriptor, const ProductionLogArgs& log) {
  prodlog::UnitStart start;
  start.station = log.station_name;
  if (start.station.empty()) {
#ifdef _WIN32
    if (const wchar_t* host = _wgetenv(L"COMPUTERNAME"); host != nullptr) {
      start.station = PathToUtf8(std::filesystem::path(host));
    }
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
