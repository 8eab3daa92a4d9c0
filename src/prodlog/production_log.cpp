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
  return text;
}

LogError BadSince(const std::string& text) {
  return LogError{LogError::Kind::kUsage,
                  "The time \"" + text +
                      "\" is not a UTC time such as 2026-01-31 or 2026-01-31T08:00:00Z."};
}

std::string LineStateText(const LineState& state) {
  if (state.online) return "line log online";
  return "line log offline, " + std::to_string(state.pending) + " unit" +
         (state.pending == 1 ? "" : "s") + " waiting";
}

void SetMode(UnitStart& start, bool factory) {
  start.mode = factory ? "factory" : "developer";
  start.write_length = factory ? kFactoryWriteLength : kDeveloperWriteLength;
}

std::string FileSha256Hex(const std::string& path, std::string* error) {
  return crypto::FileSha256Hex(path, error);
}

}  // namespace qz::prodlog
