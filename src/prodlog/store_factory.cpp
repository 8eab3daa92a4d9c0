// The production log's parts that need no database: the choice of store, where the file lives,
// the time stamps of its rows, the image's digest and the row helpers both stores share.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "base/file_path.h"
#include "prodlog/production_log.h"
#include "crypto/crypto.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog {

namespace {

void AppendJsonString(std::string& out, const std::string& text) {
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string OverridesJson(const std::vector<std::pair<std::string, std::string>>& overrides,
                          const std::string& serial) {
  std::string json = "{";
  bool first = true;
  const auto add = [&](const std::string& name, const std::string& value) {
    if (!first) json += ",";
    first = false;
    AppendJsonString(json, name);
    json += ":";
    AppendJsonString(json, value);
  };
  for (const auto& [name, value] : overrides) {
    if (!serial.empty() && name == "serial") continue;  // the allocated number wins
    add(name, value);
  }
  if (!serial.empty()) add("serial", serial);
  json += "}";
  return json;
}

std::optional<std::string> NormalizeSince(std::string text) {
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) text.pop_back();
  if (text.size() > 10 && text[10] == ' ') text[10] = 'T';
  static constexpr const char* kShape = "dddd-dd-ddTdd:dd:dd.ddd";
  const std::string shape(kShape);
  if (text.size() > shape.size()) return std::nullopt;
  // allowed lengths: date, date+hour:minute, +seconds, +fraction
  if (text.size() != 10 && text.size() != 16 && text.size() != 19 && text.size() < 21) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return std::nullopt;
  }
  return text;
}

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

LogError BadSince(const std::string& text) {
  return LogError{LogError::Kind::kUsage,
                  "The time \"" + text +
                      "\" is not a UTC time such as 2026-01-31 or 2026-01-31T08:00:00Z."};
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

namespace {
// The directory of the default log and journals, made when missing; empty and *error when it
// is not known or cannot be made.
std::filesystem::path DataDirectory(std::string* error) {
  std::filesystem::path base;
#ifdef _WIN32
  // the wide environment: a user name outside the ANSI code page is part of the path
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && local[0] != L'\0') {
    base = local;
  } else {
    if (error != nullptr) *error = "No production log directory: LOCALAPPDATA is unset.";
    return {};
  }
#else
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = PathFromUtf8(xdg);
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = PathFromUtf8(home) / ".local" / "share";
  } else {
    if (error != nullptr) *error = "No production log directory: HOME and XDG_DATA_HOME are unset.";
    return {};
  }
#endif
  const std::filesystem::path directory = base / "qz670x-mp";
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    if (error != nullptr) {
      *error = "The production log directory \"" + PathToUtf8(directory) +
               "\" cannot be made: " + ec.message();
    }
    return {};
  }
  return directory;
}
}  // namespace

std::string DefaultLogPath(std::string* error) {
  const std::filesystem::path directory = DataDirectory(error);
  return directory.empty() ? std::string() : PathToUtf8(directory / "production.sqlite3");
}

std::string DefaultJournalPath(const std::string& station, std::string* error) {
  const std::filesystem::path directory = DataDirectory(error);
  if (directory.empty()) return {};
  std::string name;
  for (const char c : station) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    name += plain ? c : '_';
  }
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return PathToUtf8(directory / ("journal-" + name + ".sqlite3"));
}

std::string LineStateText(const LineState& state) {
  if (state.online) return "line log online";
  return "line log offline, " + std::to_string(state.pending) + " unit" +
         (state.pending == 1 ? "" : "s") + " waiting";
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

std::string NewUnitUid() {
  std::random_device device;
  const auto draw = [&device] {
    return (static_cast<std::uint64_t>(device()) << 32) | static_cast<std::uint64_t>(device());
  };
  std::uint64_t high = draw();
  std::uint64_t low = draw();
  high = (high & ~0xF000ULL) | 0x4000ULL;                  // version 4
  low = (low & ~(0xC0ULL << 56)) | (0x80ULL << 56);        // RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(high >> 32),
                static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                static_cast<unsigned long long>(high & 0xFFFF),
                static_cast<unsigned long long>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

std::string HostName() {
#ifdef _WIN32
  if (const wchar_t* host = _wgetenv(L"COMPUTERNAME"); host != nullptr) {
    return PathToUtf8(std::filesystem::path(host));
  }
#else
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0) return host;
#endif
  return {};
}

void SetMode(UnitStart& start, bool factory) {
  start.mode = factory ? "factory" : "developer";
  start.write_length = factory ? 0x8000U : 0x4010U;
}

std::string NowUtcIso8601() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#ifdef _WIN32
  (void)gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string FileSha256Hex(const std::string& path, std::string* error) {
  return crypto::FileSha256Hex(path, error);
}

}  // namespace qz::prodlog
