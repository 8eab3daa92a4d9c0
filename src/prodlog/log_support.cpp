// The production log's helpers that need no database: where the log lives, the time stamps of
// its rows and the image's digest.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <system_error>

#include "base/file_path.h"
#include "prodlog/production_log.h"
#include "crypto/crypto.h"

namespace qz::prodlog {

std::string DefaultLogPath(std::string* error) {
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
  return PathToUtf8(directory / "production.sqlite3");
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
