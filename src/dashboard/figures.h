#pragma once

// What the dashboard's pages show, computed from the production log's unit rows and the
// stations' state reports: the
// line's stations and ports, yields, the failure Pareto, one unit's attempts, the alerts and the
// Prometheus metrics. Pure functions of the rows, the settings and the time `now` (seconds since
// the epoch, UTC), so each figure is tested without a server or a clock.
//
// A station's last report is its latest state report, or the latest start or end among its
// units when that is later (a station of an older version reports only through its units); a
// port whose last row is unfinished runs that unit; a station silent for longer than the alert's
// limit is offline, one whose last report says it ended is stopped. Rows may come in any order:
// the figures order each station's rows by their start.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "prodlog/production_log.h"

namespace qz::dashboard {

// The limits beyond which the dashboard raises an alert, and the line's shifts.
struct AlertSettings {
  double yield_below_percent = 90.0;  // first-pass yield over the last units of a station/port
  int yield_last_units = 50;          // ... over this many finished units (fewer: no alert)
  double station_silent_s = 600.0;    // a station with no report for this long is offline
  double unit_unfinished_s = 300.0;   // a unit running this long has hung
  int journal_backlog_over = 20;      // units waiting in a station's journal
  std::vector<int> shift_starts_min = {6 * 60, 14 * 60, 22 * 60};  // UTC minutes of the day
};

// Reads the alert settings from a TOML file (section [alerts], and [shifts] starts = ["06:00",
// ...]); keys left out keep their defaults. nullopt and *error (naming the file and the key) on
// a file that cannot be read or a value out of range.
[[nodiscard]] std::optional<AlertSettings> LoadAlertSettings(const std::string& path,
                                                             std::string* error);

// The rows of the store and what is known of its state.
struct Snapshot {
  std::span<const prodlog::UnitRecord> rows;  // any order (not owned)
  std::string store;                      // the store's name as the page shows it
  std::string store_error;                // empty: the last read succeeded
  double now = 0.0;                       // seconds since the epoch, UTC
  std::span<const prodlog::StationState> states = {};  // the stations' latest reports (not owned)
};

// The groupings of the yield page.
enum class YieldBy { kStation, kPort, kJob, kHour, kShift };
[[nodiscard]] std::optional<YieldBy> ParseYieldBy(const std::string& text);

// First-pass yield: serial numbers (a unit without one counts alone) whose first finished attempt
// passed; final yield: those with any attempt passed; both in percent of the serial numbers
// with a finished attempt, nullopt without any.
struct YieldFigures {
  std::size_t serials = 0, first_pass = 0, final_pass = 0, attempts = 0;
  std::optional<double> first_pass_percent, final_percent, units_per_hour;
};
[[nodiscard]] YieldFigures YieldOf(const std::vector<const prodlog::UnitRecord*>& rows);

// One failed outcome of the Pareto: the exit code, its units and its first message.
struct ParetoBar {
  int exit_code = 0;
  std::size_t units = 0;
  std::string message;
};
// Finished failed units by exit code, most units first (ties: lower exit first), of the rows
// that match `station` and `port` (empty: all).
[[nodiscard]] std::vector<ParetoBar> FailurePareto(std::span<const prodlog::UnitRecord> rows,
                                                   const std::string& station,
                                                   const std::string& port);

// One alert: what it is about and the text the banner shows.
struct Alert {
  std::string kind;     // "yield", "silent", "unfinished", "backlog"
  std::string subject;  // the station, "station port", or a unit
  std::string text;
};
[[nodiscard]] std::vector<Alert> Alerts(const Snapshot& snapshot, const AlertSettings& settings);

// Which units the unit page lists: a serial number or unit id, or an outcome's units.
struct UnitQuery {
  std::string text;                // a serial number or a unit id; empty: by outcome
  std::optional<int> exit_code;    // with an empty text: the failed units of this exit code
  std::string station, port;       // with an exit code: only these (empty: all)
};

// The JSON bodies of the pages' endpoints.
[[nodiscard]] nlohmann::json LineJson(const Snapshot& snapshot, const AlertSettings& settings);
[[nodiscard]] nlohmann::json YieldJson(const Snapshot& snapshot, const AlertSettings& settings,
                                       YieldBy by);
[[nodiscard]] nlohmann::json FailuresJson(const Snapshot& snapshot, const std::string& station,
                                          const std::string& port);
[[nodiscard]] nlohmann::json UnitJson(const Snapshot& snapshot, const UnitQuery& query);
[[nodiscard]] nlohmann::json AlertsJson(const Snapshot& snapshot, const AlertSettings& settings);

// The Prometheus text exposition: units by station and outcome, each station's seconds since
// its last report and its journal's backlog, whether the store could be read.
[[nodiscard]] std::string MetricsText(const Snapshot& snapshot);

// The stations whose last state report (not an ended one) is older than the silent limit at
// `now`: when this set changes, the pages' figures change without a new row.
[[nodiscard]] std::vector<std::string> SilentStations(
    std::span<const prodlog::StationState> states, double now, const AlertSettings& settings);

}  // namespace qz::dashboard
