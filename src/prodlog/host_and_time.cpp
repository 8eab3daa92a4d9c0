// The station's host name and the time stamps of its rows.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cmath>
#include <cstdint>
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

std::string UtcIso8601(double seconds) {
  const auto millis_total = static_cast<std::int64_t>(std::llround(seconds * 1000.0));
  const auto millis = static_cast<int>(((millis_total % 1000) + 1000) % 1000);
  const auto whole = static_cast<std::time_t>((millis_total - millis) / 1000);
  std::tm utc{};
#ifdef _WIN32
  (void)gmtime_s(&utc, &whole);
#else
  gmtime_r(&whole, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

std::string NowUtcIso8601() {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return UtcIso8601(static_cast<double>(millis) / 1000.0);
}

}  // namespace qz::prodlog
