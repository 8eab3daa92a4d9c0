// Where the default production log and the stations' journals live.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/file_path.h"
#include "prodlog/production_log.h"

namespace qz::prodlog {

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

}  // namespace qz::prodlog
