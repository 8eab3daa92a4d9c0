// What every store shares: the rows' texts (overrides, times asked for, the line's state), a
// unit's mode and write length, and the image's digest.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "image/write_length.h"
#include "prodlog/production_log.h"
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
  // a date and time that exist: no month 13, no 31 April, no 25:00
  const auto field = [&text](std::size_t at, std::size_t length) {
    return at + length <= text.size() ? std::stoi(text.substr(at, length)) : 0;
  };
  const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > days) return std::nullopt;
  if (field(11, 2) > 23 || field(14, 2) > 59 || field(17, 2) > 59) return std::nullopt;
  return text;
}

LogError BadSince(const std::string& text) {
  return LogError{LogError::Kind::kUsage,
                  "The time \"" + text +
                      "\" is not a UTC time such as 2026-01-31 or 2026-01-31T08:00:00Z."};
}

std::optional<LogError> SinceProblem(const std::string& since) {
  if (since.empty() || NormalizeSince(since)) return std::nullopt;
  return BadSince(since);
}

std::string LineStateText(const LineState& state) {
  if (state.online) return "line log online";
  return "line log offline, " + std::to_string(state.pending) + " unit" +
         (state.pending == 1 ? "" : "s") + " waiting";
}

std::string LineStateReport(const LineState& state) {
  if (state.online || state.why.empty()) return LineStateText(state);
  return LineStateText(state) + " (" + state.why + ")";
}

void SetMode(UnitStart& start, bool factory) {
  start.mode = factory ? "factory" : "developer";
  start.write_length = factory ? kFactoryWriteLength : kDeveloperWriteLength;
}

std::string FileSha256Hex(const std::string& path, std::string* error) {
  return crypto::FileSha256Hex(path, error);
}

bool LineTakesSerialsOf(const UnitStart& start, const std::string& where, bool journaled,
                        LogError* error) {
  if (start.serial_list) {
    *error = LogError{LogError::Kind::kUsage,
                      "Line database " + where +
                          ": a line takes its serial lists from the line database: import the "
                          "file once (log --import-serials FILE --serial-list-name NAME) and "
                          "give the stations --serial-list-name NAME"};
    return false;
  }
  if (!journaled && !start.serial_list_name.empty()) {
    *error = LogError{LogError::Kind::kUsage,
                      "Line database " + where +
                          ": a line's serial list is leased through a station's journal"};
    return false;
  }
  return true;
}

}  // namespace qz::prodlog
