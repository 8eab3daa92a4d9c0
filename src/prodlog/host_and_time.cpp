// The station's host name and the time stamps of its rows.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "base/file_path.h"
#include "prodlog/production_log.h"

namespace qz::prodlog {

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

}  // namespace qz::prodlog
