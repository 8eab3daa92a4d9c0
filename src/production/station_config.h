#pragma once
// The station's configuration: a TOML file that the operator's account cannot change
// (/etc/qz670x-mp/station.toml; %ProgramData%\qz670x-mp\station.toml on Windows). It may lock
// the station for production (only signed jobs by trusted keys run) and gives the defaults the
// station otherwise takes on the command line.
//
// Another file (QZ670X_MP_STATION_CONFIG, for tests and trial set-ups) is read only where the
// system file is absent or does not require signed jobs: nothing on the command line or in the
// environment loosens a station that the system file locks.

#include <optional>
#include <string>
#include <vector>

#include "jobs/job_run.h"
#include "results/result_target.h"

namespace qz::production {

struct StationSettings {
  std::string file;  // where the settings came from; "" none
  bool require_signed_jobs = false;
  std::string trusted_keys;  // directory of trusted public keys
  std::string log;           // production log: a file or a line database's location
  std::string station;       // station name
  std::vector<std::string> ports;
  // where the units' serial numbers come from when neither a job nor the command line says:
  // a counter's format (from 1), a list imported into the line database, or the factory's
  // program (its command line); at most one
  std::string serial_format;
  std::string serial_list_name;
  std::string serial_program;
  // where every unit's result goes (results/result_target.h); "" none
  std::string result_program, result_url, result_ca;

  // The job policy with `station_name` as this station's name.
  [[nodiscard]] jobs::JobPolicy Policy(const std::string& station_name) const {
    return {require_signed_jobs, trusted_keys, station_name};
  }
};

// The system file's path on this platform.
[[nodiscard]] std::string SystemStationConfigPath();

// Reads the settings from `path`; nullopt with a message when the file is unreadable, not
// TOML, has an unknown key or a value of the wrong kind, or names a trusted-keys directory that
// others can write.
[[nodiscard]] std::optional<StationSettings> ReadStationConfig(const std::string& path,
                                                               std::string* error);

// The station's settings: the system file, or where it allows it the override file named by
// QZ670X_MP_STATION_CONFIG, or none (all defaults). nullopt with a message as above.
[[nodiscard]] std::optional<StationSettings> LoadStationSettings(std::string* error);

// Where every unit's result goes when the command line does not say: the job's targets when it
// fixes them, else the configuration's (its CA only with its URL).
[[nodiscard]] results::ResultTargets ConfiguredResultTargets(const jobs::Job* job,
                                                             const StationSettings& settings);

}  // namespace qz::production
