#include "production/station_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "base/toml_file.h"

namespace qz::production {

namespace {

constexpr const char* kOverrideVariable = "QZ670X_MP_STATION_CONFIG";

// True when someone besides the owner may write `path` (POSIX permission bits; Windows keeps
// its rights in ACLs, which the installer sets).
bool OthersCanWrite(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
#endif
}

}  // namespace

std::string SystemStationConfigPath() {
#ifdef _WIN32
  const char* data = std::getenv("ProgramData");
  return std::string(data != nullptr ? data : "C:\\ProgramData") + "\\qz670x-mp\\station.toml";
#else
  return "/etc/qz670x-mp/station.toml";
#endif
}

std::optional<StationSettings> ReadStationConfig(const std::string& path, std::string* error) {
  const std::string where = "the station configuration " + path;
  const std::optional<toml::table> parsed = ReadTomlFile(path, where, error);
  if (!parsed) return std::nullopt;
  const toml::table& table = *parsed;
  StationSettings settings;
  settings.file = path;
  const std::pair<const char*, std::string*> texts[] = {
      {"trusted-keys", &settings.trusted_keys},
      {"log", &settings.log},
      {"station", &settings.station},
      {"serial-format", &settings.serial_format},
      {"serial-list-name", &settings.serial_list_name},
      {"serial-program", &settings.serial_program},
      {"result-program", &settings.result_program},
      {"result-url", &settings.result_url},
      {"result-ca", &settings.result_ca},
  };
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    bool right_kind = true;
    const auto text = std::find_if(std::begin(texts), std::end(texts),
                                   [&](const auto& entry) { return name == entry.first; });
    if (name == "require-signed-jobs") {
      right_kind = node.is_boolean();
      if (right_kind) settings.require_signed_jobs = node.as_boolean()->get();
    } else if (text != std::end(texts)) {
      right_kind = node.is_string();
      if (right_kind) *text->second = node.as_string()->get();
    } else if (name == "ports") {
      const toml::array* ports = node.as_array();
      right_kind = ports != nullptr && ports->is_homogeneous(toml::node_type::string);
      if (right_kind) {
        for (const toml::node& port : *ports) settings.ports.push_back(port.as_string()->get());
      }
    } else {
      *error = where + ": unknown key \"" + name +
               "\" (known: require-signed-jobs, trusted-keys, log, station, ports, "
               "serial-format, serial-list-name, serial-program, result-program, result-url, "
               "result-ca)";
      return std::nullopt;
    }
    if (!right_kind) {
      *error = where + ": \"" + name + "\" has a value of the wrong kind";
      return std::nullopt;
    }
  }
  if (!settings.serial_format.empty() + !settings.serial_list_name.empty() +
          !settings.serial_program.empty() > 1) {
    *error = where + ": serial-format, serial-list-name and serial-program exclude each other";
    return std::nullopt;
  }
  if (settings.require_signed_jobs && settings.trusted_keys.empty()) {
    *error = where + ": require-signed-jobs needs trusted-keys = \"DIRECTORY\"";
    return std::nullopt;
  }
  if (!settings.trusted_keys.empty()) {
    std::error_code failed;
    if (!std::filesystem::is_directory(settings.trusted_keys, failed)) {
      *error = where + ": trusted-keys \"" + settings.trusted_keys + "\" is no directory";
      return std::nullopt;
    }
    if (OthersCanWrite(settings.trusted_keys)) {
      *error = where + ": the trusted-keys directory \"" + settings.trusted_keys +
               "\" may be written by others than its owner (chmod go-w)";
      return std::nullopt;
    }
  }
  if (settings.require_signed_jobs && OthersCanWrite(path)) {
    *error = where + " may be written by others than its owner (chmod go-w)";
    return std::nullopt;
  }
  return settings;
}

std::optional<StationSettings> LoadStationSettings(std::string* error) {
  const std::string system = SystemStationConfigPath();
  std::error_code failed;
  std::optional<StationSettings> settings;
  if (std::filesystem::exists(system, failed) || failed) {
    settings = ReadStationConfig(system, error);
    if (!settings) return std::nullopt;
    if (settings->require_signed_jobs) return settings;
  }
  const char* other = std::getenv(kOverrideVariable);
  if (other != nullptr && *other != '\0') return ReadStationConfig(other, error);
  if (!settings) settings = StationSettings{};
  return settings;
}

results::ResultTargets ConfiguredResultTargets(const jobs::Job* job,
                                               const StationSettings& settings) {
  results::ResultTargets targets;
  const bool job_fixes = job != nullptr && jobs::FixesResults(*job);
  targets.program = job_fixes ? job->result_program : settings.result_program;
  targets.url = job_fixes ? job->result_url : settings.result_url;
  if (!targets.url.empty()) targets.ca = settings.result_ca;
  return targets;
}

}  // namespace qz::production
