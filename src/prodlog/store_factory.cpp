// The store behind a location: a file, a line database (a password in its location refused), or
// a line database behind the station's journal.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "prodlog/production_log.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "a=1&b=2" or "a=1 b=2": true when one of the keys is `key`.
bool HasKey(std::string_view pairs, std::string_view key, std::string_view separators) {
  while (!pairs.empty()) {
    const std::size_t end = pairs.find_first_of(separators);
    std::string_view pair = pairs.substr(0, end);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    std::string_view name = pair.substr(0, equals);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name == key) return true;
    if (end == std::string_view::npos) break;
    pairs.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

bool IsDatabaseLocation(const std::string& location) {
  return StartsWith(location, "postgresql://") || StartsWith(location, "postgres://") ||
         StartsWith(location, "service=");
}

std::optional<std::string> PasswordProblem(const std::string& location) {
  bool carries = false;
  if (StartsWith(location, "service=")) {
    carries = HasKey(location, "password", " ");
  } else {
    const std::string_view uri(location);
    const std::size_t scheme = uri.find("://") + 3;
    const std::size_t authority_end = uri.find_first_of("/?", scheme);
    const std::string_view authority = uri.substr(scheme, authority_end - scheme);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos && authority.substr(0, at).find(':') != std::string_view::npos) {
      carries = true;
    }
    if (const std::size_t query = uri.find('?'); query != std::string_view::npos) {
      carries = carries || HasKey(uri.substr(query + 1), "password", "&");
    }
  }
  if (!carries) return std::nullopt;
  return std::string(
      "The line database's location carries a password; a password never goes on the command "
      "line, where every user can read it. Put it in ~/.pgpass (or the file PGPASSFILE names), "
      "in the connection service file (~/.pg_service.conf or PGSERVICEFILE) with "
      "--log service=NAME, or in the environment as PGPASSWORD, and give the location without "
      "it.");
}

std::unique_ptr<ProductionLog> ProductionLog::Open(const std::string& location, LogError* error,
                                                   const LogOptions& options) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  if (!IsDatabaseLocation(location)) return OpenSqliteLog(location, error, options);
  if (const std::optional<std::string> problem = PasswordProblem(location)) {
    *error = LogError{LogError::Kind::kUsage, *problem};
    return nullptr;
  }
  if (!options.journal.empty() && !options.read_only) {
    return OpenJournaledLog(location, error, options);
  }
  return OpenPostgresLog(location, error, options);
}

std::unique_ptr<ProductionLog> OpenUnitLog(std::string& location, const UnitStart& units,
                                           LogOptions options, LogError* error) {
  if (location.empty()) {
    location = DefaultLogPath(&error->message);
    if (location.empty()) {
      error->kind = LogError::Kind::kIo;
      return nullptr;
    }
  }
  options.serial_format = units.serial_format;
  options.serial_start = units.serial_start;
  // a list the station reads itself is not the line's
  if (!units.serial_list) options.serial_list_name = units.serial_list_name;
  options.station = units.station;
  if (IsDatabaseLocation(location) && options.journal.empty()) {
    options.journal = DefaultJournalPath(units.station, &error->message);
    if (options.journal.empty()) {
      error->kind = LogError::Kind::kIo;
      return nullptr;
    }
  }
  return ProductionLog::Open(location, error, options);
}

}  // namespace qz::prodlog
