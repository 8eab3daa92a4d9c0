// The dashboard's alert file (TOML), e.g.
//   yield-below-percent = 90      # first-pass yield over the last units of a station or port
//   yield-last-units = 50
//   station-silent-minutes = 10
//   unit-unfinished-minutes = 5
//   journal-backlog-over = 20
//   shift-starts = ["06:00", "14:00", "22:00"]   # UTC
#include <cstdio>

#include "base/toml_file.h"
#include "dashboard/figures.h"

namespace qz::dashboard {
namespace {

// "06:00" as minutes of the day; nullopt for another text.
std::optional<int> MinuteOfDay(const std::string& text) {
  int hour = -1, minute = -1;
  char tail = 0;
  if (text.size() != 5 || std::sscanf(text.c_str(), "%2d:%2d%c", &hour, &minute, &tail) != 2 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59) {
    return std::nullopt;
  }
  return hour * 60 + minute;
}

}  // namespace

std::optional<AlertSettings> LoadAlertSettings(const std::string& path, std::string* error) {
  const std::string where = "the alert file " + path;
  const std::optional<toml::table> table = ReadTomlFile(path, where, error);
  if (!table) return std::nullopt;
  AlertSettings settings;
  for (const auto& [key, node] : *table) {
    const std::string name(key.str());
    const std::optional<double> number = node.is_number() ? node.value<double>() : std::nullopt;
    const auto positive = [&](double scale, double& out) {
      if (!number || *number <= 0) return false;
      out = *number * scale;
      return true;
    };
    bool right = false;
    if (name == "yield-below-percent") {
      right = number && *number >= 0 && *number <= 100;
      if (right) settings.yield_below_percent = *number;
    } else if (name == "yield-last-units" || name == "journal-backlog-over") {
      right = node.is_integer() && *node.value<std::int64_t>() > 0 &&
              *node.value<std::int64_t>() <= 1000000;
      if (right) {
        (name == "yield-last-units" ? settings.yield_last_units : settings.journal_backlog_over) =
            static_cast<int>(*node.value<std::int64_t>());
      }
    } else if (name == "station-silent-minutes") {
      right = positive(60.0, settings.station_silent_s);
    } else if (name == "unit-unfinished-minutes") {
      right = positive(60.0, settings.unit_unfinished_s);
    } else if (name == "shift-starts") {
      const toml::array* starts = node.as_array();
      right = starts != nullptr && !starts->empty();
      std::vector<int> minutes;
      for (std::size_t i = 0; right && i < starts->size(); ++i) {
        const std::optional<std::string> text = starts->get(i)->value<std::string>();
        const std::optional<int> minute = text ? MinuteOfDay(*text) : std::nullopt;
        right = minute.has_value();
        if (right) minutes.push_back(*minute);
      }
      if (right) settings.shift_starts_min = minutes;
    } else {
      *error = where + ": unknown key \"" + name + "\"";
      return std::nullopt;
    }
    if (!right) {
      *error = where + ": \"" + name + "\" has a value out of range";
      return std::nullopt;
    }
  }
  return settings;
}

}  // namespace qz::dashboard
