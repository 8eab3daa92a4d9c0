#pragma once

// The figures of a set of unit rows, shared by the `log` summary and the dashboard: units,
// passes, failures by exit code, yield, job times and units per hour over busy time.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"

namespace qz::prodlog {

// "2026-01-31T08:15:02.123Z" as seconds since the epoch (UTC, no time zone of this PC); nullopt
// for another text.
[[nodiscard]] std::optional<double> SecondsOf(const std::string& time);

// How exports and pages name a unit's job: "NAME revision R", or "(no job)".
[[nodiscard]] std::string JobText(const UnitRecord& row);
// The key a unit's job was signed with; "unsigned" for a job's row without one.
[[nodiscard]] std::string JobKey(const UnitRecord& row);

// Failed units by exit code: how many, and the first one's message.
using FailuresByExit = std::map<int, std::pair<std::size_t, std::string>>;
// Counts `row`, a finished unit that failed, in `failures`.
void CountFailure(const UnitRecord& row, FailuresByExit& failures);

// The figures of a set of units.
struct Summary {
  std::size_t units = 0, passed = 0, unfinished = 0, failed = 0;
  FailuresByExit failed_by_exit;
  double yield = 0.0;  // percent of all units
  std::optional<double> mean_ms;
  std::optional<std::int64_t> p95_ms;
  // Over the hours the stations were programming: each station's units' spans (start to end,
  // or to start plus the job's own time where that is longer, as under virtual time) merged,
  // then summed over the stations; the pauses between units are not counted.
  std::optional<double> units_per_hour;
  double busy_hours = 0.0;
};

// The seconds during which the rows' stations had a unit running, summed over the stations.
[[nodiscard]] double BusySeconds(const std::vector<const UnitRecord*>& rows);

[[nodiscard]] Summary Summarize(const std::vector<const UnitRecord*>& rows);

}  // namespace qz::prodlog
