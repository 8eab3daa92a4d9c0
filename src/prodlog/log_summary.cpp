#include "prodlog/log_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qz::prodlog {

std::optional<double> SecondsOf(const std::string& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  double second = 0;
  if (std::sscanf(time.c_str(), "%d-%d-%dT%d:%d:%lf", &year, &month, &day, &hour, &minute,
                  &second) != 6) {
    return std::nullopt;
  }
  // days from the civil date (proleptic Gregorian), so no time zone of this PC enters
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const double days = static_cast<double>(era) * 146097.0 + doe - 719468.0;
  return days * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
}

double BusySeconds(const std::vector<const UnitRecord*>& rows) {
  std::map<std::string, std::vector<std::pair<double, double>>> spans;
  for (const UnitRecord* row : rows) {
    if (!row->finished) continue;
    const std::optional<double> from = SecondsOf(row->started);
    const std::optional<double> to = SecondsOf(row->ended);
    if (!from || !to) continue;
    const double end = std::max(*to, *from + static_cast<double>(row->duration_ms) / 1000.0);
    spans[row->station].emplace_back(*from, end);
  }
  double busy = 0.0;
  for (auto& [station, list] : spans) {
    std::sort(list.begin(), list.end());
    double begin = list.front().first;
    double end = list.front().second;
    for (const auto& [from, to] : list) {
      if (from > end) {
        busy += end - begin;
        begin = from;
      }
      end = std::max(end, to);
    }
    busy += end - begin;
  }
  return busy;
}

std::string JobText(const UnitRecord& row) {
  return row.job.name.empty() ? std::string("(no job)")
                              : row.job.name + " revision " + row.job.revision;
}

std::string JobKey(const UnitRecord& row) {
  if (row.job.name.empty() || !row.job.key.empty()) return row.job.key;
  return "unsigned";
}

void CountFailure(const UnitRecord& row, FailuresByExit& failures) {
  auto& entry = failures[row.exit_code];
  if (entry.first++ == 0) entry.second = row.message;
}

Summary Summarize(const std::vector<const UnitRecord*>& rows) {
  Summary summary;
  summary.units = rows.size();
  std::vector<std::int64_t> durations;
  for (const UnitRecord* row : rows) {
    if (!row->finished) {
      ++summary.unfinished;
      continue;
    }
    durations.push_back(row->duration_ms);
    if (row->exit_code == 0) {
      ++summary.passed;
    } else {
      ++summary.failed;
      CountFailure(*row, summary.failed_by_exit);
    }
  }
  summary.yield = rows.empty() ? 0.0
                               : 100.0 * static_cast<double>(summary.passed) /
                                     static_cast<double>(rows.size());
  if (!durations.empty()) {
    std::sort(durations.begin(), durations.end());
    double sum = 0;
    for (const std::int64_t d : durations) sum += static_cast<double>(d);
    summary.mean_ms = sum / static_cast<double>(durations.size());
    // nearest rank: the smallest time that at least 95 % of the jobs did not exceed
    const auto rank = static_cast<std::size_t>(
        std::ceil(0.95 * static_cast<double>(durations.size())));
    summary.p95_ms = durations[std::max<std::size_t>(rank, 1) - 1];
  }
  const double busy = BusySeconds(rows);
  summary.busy_hours = busy / 3600.0;
  if (busy > 0.0) {
    const std::size_t finished = summary.units - summary.unfinished;
    summary.units_per_hour = static_cast<double>(finished) * 3600.0 / busy;
  }
  return summary;
}

}  // namespace qz::prodlog
