#include "dashboard/figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "prodlog/production_log.h"
#include "dialog/write_outcome.h"
#include "prodlog/log_summary.h"

namespace qz::dashboard {
namespace {

using prodlog::UnitRecord;

// The latest start or end of a row, as its text (UTC ISO 8601 texts sort as their times do, so
// no row's time is parsed but the latest one's).
const std::string& LastTextOf(const UnitRecord& row) {
  return row.finished && row.ended > row.started ? row.ended : row.started;
}

// A unit's identity across its attempts: its serial number, else its row alone.
std::string SerialKey(const UnitRecord& row) {
  if (!row.serial.empty()) return row.serial;
  std::string key = std::to_string(row.unit_id);
  key.insert(key.begin(), '#');  // (not "#" + ...: GCC 12 -O3 warns of an overlap that is none)
  return key;
}

nlohmann::json Percent(const std::optional<double>& value) {
  return value ? nlohmann::json(std::round(*value * 10.0) / 10.0) : nlohmann::json();
}

// "2026-01-31 shift 06:00": the shift a start falls in; a night shift that began the day before
// carries that day's date.
std::string ShiftOf(const UnitRecord& row, const std::vector<int>& starts) {
  const std::optional<double> seconds = prodlog::SecondsOf(row.started);
  if (!seconds || starts.empty()) return row.started.substr(0, 10);
  const double day_start = std::floor(*seconds / 86400.0) * 86400.0;
  const int minute = static_cast<int>((*seconds - day_start) / 60.0);
  int begun = -1;
  for (const int start : starts) {
    if (start <= minute) begun = std::max(begun, start);
  }
  double day = day_start;
  if (begun < 0) {  // before the day's first shift: the previous day's last
    begun = *std::max_element(starts.begin(), starts.end());
    day -= 86400.0;
  }
  char shift[40];
  std::snprintf(shift, sizeof shift, " shift %02d:%02d", begun / 60, begun % 60);
  return prodlog::UtcIso8601(day).substr(0, 10) + shift;
}

std::string GroupKey(const UnitRecord& row, YieldBy by, const AlertSettings& settings) {
  switch (by) {
    case YieldBy::kStation: return row.station;
    case YieldBy::kPort: return row.station + " " + row.port;
    case YieldBy::kJob: return prodlog::JobText(row);
    case YieldBy::kHour: return row.started.substr(0, 13) + ":00Z";
    case YieldBy::kShift: return ShiftOf(row, settings.shift_starts_min);
  }
  return {};
}

nlohmann::json YieldFiguresJson(const YieldFigures& figures) {
  return {{"serials", figures.serials},
          {"attempts", figures.attempts},
          {"first_pass", figures.first_pass},
          {"final_pass", figures.final_pass},
          {"first_pass_yield", Percent(figures.first_pass_percent)},
          {"final_yield", Percent(figures.final_percent)},
          {"units_per_hour", Percent(figures.units_per_hour)}};
}

// Orders rows by their start (ties: by id), unless they come so already.
void SortByStart(std::vector<const UnitRecord*>& rows) {
  const auto before = [](const UnitRecord* a, const UnitRecord* b) {
    return a->started != b->started ? a->started < b->started : a->unit_id < b->unit_id;
  };
  if (!std::is_sorted(rows.begin(), rows.end(), before)) {
    std::sort(rows.begin(), rows.end(), before);
  }
}

// What one station's rows and its latest state report say about it.
struct StationRows {
  std::vector<const UnitRecord*> rows;  // by start
  std::map<std::string, const UnitRecord*> last_by_port;
  const prodlog::StationState* state = nullptr;
  std::string last_text;     // the latest start or end, or report
  double last_report = 0.0;  // the same, seconds since the epoch
  [[nodiscard]] bool Ended() const { return state != nullptr && state->ended; }
  [[nodiscard]] double Silent(double now) const { return now - last_report; }
};

std::map<std::string, StationRows> ByStation(const Snapshot& snapshot) {
  std::map<std::string, StationRows> stations;
  for (const UnitRecord& row : snapshot.rows) stations[row.station].rows.push_back(&row);
  for (const prodlog::StationState& state : snapshot.states) {
    StationRows& station = stations[state.station];
    station.state = &state;
    station.last_text = state.reported;
  }
  for (auto& [name, station] : stations) {
    SortByStart(station.rows);
    for (const UnitRecord* row : station.rows) {
      station.last_by_port[row->port] = row;
      if (const std::string& last = LastTextOf(*row); last > station.last_text) {
        station.last_text = last;
      }
    }
    station.last_report = prodlog::SecondsOf(station.last_text).value_or(0.0);
  }
  return stations;
}

// The last `count` finished rows of `rows`.
std::vector<const UnitRecord*> LastFinished(const std::vector<const UnitRecord*>& rows,
                                            std::size_t count) {
  std::vector<const UnitRecord*> last;
  for (auto it = rows.rbegin(); it != rows.rend() && last.size() < count; ++it) {
    if ((*it)->finished) last.push_back(*it);
  }
  std::reverse(last.begin(), last.end());
  return last;
}

std::string PrometheusLabel(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

nlohmann::json AttemptJson(const UnitRecord& row) {
  nlohmann::json attempt = {{"id", row.unit_id},
                            {"serial", row.serial},
                            {"serial_released", row.serial_released},
                            {"station", row.station},
                            {"port", row.port},
                            {"started", row.started},
                            {"ended", row.finished ? nlohmann::json(row.ended) : nlohmann::json()},
                            {"image_sha256", row.image_sha256},
                            {"job_name", row.job.name},
                            {"job_revision", row.job.revision},
                            {"job_key", prodlog::JobKey(row)},
                            {"exit", row.finished ? nlohmann::json(row.exit_code) : nlohmann::json()},
                            {"message", row.finished ? row.message : std::string()},
                            {"detail", row.finished ? std::string(ExplainJobOutcome(row.exit_code))
                                                    : std::string()},
                            {"replug", row.finished ? row.replug : std::string()}};
  return attempt;
}

}  // namespace

std::optional<YieldBy> ParseYieldBy(const std::string& text) {
  if (text.empty() || text == "station") return YieldBy::kStation;
  if (text == "port") return YieldBy::kPort;
  if (text == "job") return YieldBy::kJob;
  if (text == "hour") return YieldBy::kHour;
  if (text == "shift") return YieldBy::kShift;
  return std::nullopt;
}

YieldFigures YieldOf(const std::vector<const UnitRecord*>& rows) {
  YieldFigures figures;
  struct Attempts {
    bool first_passed = false, any_passed = false;
  };
  std::unordered_map<std::string, Attempts> serials;
  serials.reserve(rows.size());
  std::vector<const UnitRecord*> finished;
  for (const UnitRecord* row : rows) {
    if (!row->finished) continue;
    finished.push_back(row);
    ++figures.attempts;
    const auto [entry, first] = serials.try_emplace(SerialKey(*row));
    if (first) entry->second.first_passed = row->exit_code == 0;
    entry->second.any_passed = entry->second.any_passed || row->exit_code == 0;
  }
  figures.serials = serials.size();
  for (const auto& [serial, attempts] : serials) {
    figures.first_pass += attempts.first_passed ? 1 : 0;
    figures.final_pass += attempts.any_passed ? 1 : 0;
  }
  if (figures.serials > 0) {
    const auto total = static_cast<double>(figures.serials);
    figures.first_pass_percent = 100.0 * static_cast<double>(figures.first_pass) / total;
    figures.final_percent = 100.0 * static_cast<double>(figures.final_pass) / total;
  }
  if (const double busy = prodlog::BusySeconds(finished); busy > 0.0) {
    figures.units_per_hour = static_cast<double>(finished.size()) * 3600.0 / busy;
  }
  return figures;
}

std::vector<ParetoBar> FailurePareto(std::span<const UnitRecord> rows,
                                     const std::string& station, const std::string& port) {
  prodlog::FailuresByExit failures;
  for (const UnitRecord& row : rows) {
    if (!row.finished || row.exit_code == 0) continue;
    if ((!station.empty() && row.station != station) || (!port.empty() && row.port != port)) {
      continue;
    }
    prodlog::CountFailure(row, failures);
  }
  std::vector<ParetoBar> sorted;
  for (auto& [code, entry] : failures) {
    ParetoBar bar;
    bar.exit_code = code;
    bar.units = entry.first;
    bar.message = std::move(entry.second);
    sorted.push_back(std::move(bar));
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ParetoBar& a, const ParetoBar& b) { return a.units > b.units; });
  return sorted;
}

std::vector<Alert> Alerts(const Snapshot& snapshot, const AlertSettings& settings) {
  std::vector<Alert> alerts;
  char text[160];
  const auto yield_alert = [&](const std::vector<const UnitRecord*>& rows,
                               const std::string& subject) {
    const auto window = static_cast<std::size_t>(std::max(settings.yield_last_units, 1));
    const std::vector<const UnitRecord*> last = LastFinished(rows, window);
    if (last.size() < window) return;
    const YieldFigures figures = YieldOf(last);
    if (figures.first_pass_percent && *figures.first_pass_percent < settings.yield_below_percent) {
      std::snprintf(text, sizeof text, "first-pass yield %.1f %% over the last %zu units",
                    *figures.first_pass_percent, last.size());
      alerts.push_back({"yield", subject, text});
    }
  };
  for (const auto& [name, station] : ByStation(snapshot)) {
    const double silent = station.Silent(snapshot.now);
    if (!station.Ended() && silent > settings.station_silent_s) {
      if (silent < 120.0) {
        std::snprintf(text, sizeof text, "no report for %.0f s", std::floor(silent));
      } else {
        std::snprintf(text, sizeof text, "no report for %.0f min", std::floor(silent / 60.0));
      }
      alerts.push_back({"silent", name, text});
    }
    if (station.state != nullptr && !station.Ended() && station.state->backlog &&
        *station.state->backlog > settings.journal_backlog_over) {
      std::snprintf(text, sizeof text, "journal backlog %d units", *station.state->backlog);
      alerts.push_back({"backlog", name, text});
    }
    yield_alert(station.rows, name);
    std::map<std::string, std::vector<const UnitRecord*>> ports;
    for (const UnitRecord* row : station.rows) ports[row->port].push_back(row);
    for (const auto& [port, rows] : ports) yield_alert(rows, name + " " + port);
    for (const auto& [port, row] : station.last_by_port) {
      if (row->finished) continue;
      const double running = snapshot.now - prodlog::SecondsOf(row->started).value_or(snapshot.now);
      if (running > settings.unit_unfinished_s) {
        std::snprintf(text, sizeof text, "unit %lld unfinished for %.0f min",
                      static_cast<long long>(row->unit_id), std::floor(running / 60.0));
        alerts.push_back({"unfinished", name + " " + port, text});
      }
    }
  }
  return alerts;
}

nlohmann::json AlertsJson(const Snapshot& snapshot, const AlertSettings& settings) {
  nlohmann::json list = nlohmann::json::array();
  for (const Alert& alert : Alerts(snapshot, settings)) {
    list.push_back({{"kind", alert.kind}, {"subject", alert.subject}, {"text", alert.text}});
  }
  return {{"store", snapshot.store},
          {"store_error", snapshot.store_error},
          {"alerts", list},
          {"settings",
           {{"yield_below_percent", settings.yield_below_percent},
            {"yield_last_units", settings.yield_last_units},
            {"station_silent_s", settings.station_silent_s},
            {"unit_unfinished_s", settings.unit_unfinished_s},
            {"journal_backlog_over", settings.journal_backlog_over}}}};
}

namespace {

// A port's entry of the line page: its unit now running or its last one (from the rows), and
// what the station's latest report says it does.
nlohmann::json PortJson(const std::string& port, const UnitRecord* row,
                        const prodlog::PortReport* report) {
  nlohmann::json entry = {{"port", port}, {"running", row != nullptr && !row->finished}};
  if (row != nullptr && !row->finished) {
    entry["unit"] = {{"id", row->unit_id}, {"serial", row->serial}, {"started", row->started}};
  } else if (row != nullptr) {
    entry["last"] = {{"id", row->unit_id},
                     {"serial", row->serial},
                     {"exit", row->exit_code},
                     {"message", row->message},
                     {"ended", row->ended}};
  }
  if (report != nullptr) {
    entry["activity"] = report->activity;
    entry["percent"] = report->percent >= 0 ? nlohmann::json(report->percent) : nlohmann::json();
    if (report->unit_id != 0 || !report->serial.empty()) {
      entry["reported_unit"] = {{"id", report->unit_id}, {"serial", report->serial}};
    }
  }
  return entry;
}

}  // namespace

nlohmann::json LineJson(const Snapshot& snapshot, const AlertSettings& settings) {
  nlohmann::json stations = nlohmann::json::array();
  const std::string hour_ago = prodlog::UtcIso8601(snapshot.now - 3600.0);
  for (const auto& [name, station] : ByStation(snapshot)) {
    std::map<std::string, const prodlog::PortReport*> reported;
    if (station.state != nullptr) {
      for (const prodlog::PortReport& port : station.state->ports) reported[port.port] = &port;
    }
    nlohmann::json ports = nlohmann::json::array();
    std::set<std::string> names;
    for (const auto& [port, row] : station.last_by_port) names.insert(port);
    for (const auto& [port, report] : reported) names.insert(port);
    for (const std::string& port : names) {
      const auto row = station.last_by_port.find(port);
      const auto report = reported.find(port);
      ports.push_back(PortJson(port, row == station.last_by_port.end() ? nullptr : row->second,
                               report == reported.end() ? nullptr : report->second));
    }
    // the rows are ordered by start: the last hour's are at the end
    std::vector<const UnitRecord*> last_hour;
    for (auto it = station.rows.rbegin(); it != station.rows.rend() && (*it)->started >= hour_ago;
         ++it) {
      last_hour.push_back(*it);
    }
    std::reverse(last_hour.begin(), last_hour.end());
    const double silent = station.Silent(snapshot.now);
    const bool online = !station.Ended() && silent <= settings.station_silent_s;
    const YieldFigures hour = YieldOf(last_hour);
    const prodlog::StationState* state = station.state;
    nlohmann::json entry = {
        {"station", name},
        {"online", online},
        {"state", station.Ended() ? "stopped" : online ? "online" : "offline"},
        {"seconds_since_report", std::max(0.0, std::round(silent))},
        {"ports", ports},
        {"units", station.rows.size()},
        {"units_per_hour", Percent(hour.units_per_hour)},
        {"last_hour_units", hour.attempts},
        {"last_hour_yield", Percent(hour.first_pass_percent)},
        {"journal_backlog", state != nullptr && state->backlog ? nlohmann::json(*state->backlog)
                                                                : nlohmann::json()},
        {"last_push", state != nullptr && !state->last_push.empty()
                          ? nlohmann::json(state->last_push)
                          : nlohmann::json()}};
    if (state != nullptr) {
      entry["host"] = state->host;
      entry["version"] = state->version;
      entry["job"] = state->job.name.empty()
                         ? state->image_path
                         : state->job.name + " revision " + state->job.revision;
      entry["reported"] = state->reported;
    }
    stations.push_back(std::move(entry));
  }
  return {{"store", snapshot.store},
          {"store_error", snapshot.store_error},
          {"stations", stations},
          {"units", snapshot.rows.size()}};
}

nlohmann::json YieldJson(const Snapshot& snapshot, const AlertSettings& settings, YieldBy by) {
  std::map<std::string, std::vector<const UnitRecord*>> groups;
  std::vector<const UnitRecord*> all;
  for (const UnitRecord& row : snapshot.rows) {
    groups[GroupKey(row, by, settings)].push_back(&row);
    all.push_back(&row);
  }
  nlohmann::json list = nlohmann::json::array();
  SortByStart(all);
  for (auto& [key, rows] : groups) {
    SortByStart(rows);
    nlohmann::json entry = YieldFiguresJson(YieldOf(rows));
    entry["key"] = key;
    list.push_back(std::move(entry));
  }
  static constexpr const char* kNames[] = {"station", "port", "job", "hour", "shift"};
  return {{"store", snapshot.store},
          {"store_error", snapshot.store_error},
          {"by", kNames[static_cast<int>(by)]},
          {"total", YieldFiguresJson(YieldOf(all))},
          {"groups", list}};
}

nlohmann::json FailuresJson(const Snapshot& snapshot, const std::string& station,
                            const std::string& port) {
  nlohmann::json bars = nlohmann::json::array();
  std::size_t total = 0;
  const std::vector<ParetoBar> pareto = FailurePareto(snapshot.rows, station, port);
  for (const ParetoBar& bar : pareto) total += bar.units;
  std::size_t running = 0;
  for (const ParetoBar& bar : pareto) {
    running += bar.units;
    bars.push_back({{"exit", bar.exit_code},
                    {"units", bar.units},
                    {"message", bar.message},
                    {"detail", std::string(ExplainJobOutcome(bar.exit_code))},
                    {"cumulative_percent",
                     std::round(1000.0 * static_cast<double>(running) /
                                static_cast<double>(total)) / 10.0}});
  }
  std::set<std::string> stations, ports;
  for (const UnitRecord& row : snapshot.rows) {
    stations.insert(row.station);
    if (station.empty() || row.station == station) ports.insert(row.port);
  }
  return {{"store", snapshot.store}, {"store_error", snapshot.store_error},
          {"station", station},      {"port", port},
          {"failed", total},         {"bars", bars},
          {"stations", stations},    {"ports", ports}};
}

nlohmann::json UnitJson(const Snapshot& snapshot, const UnitQuery& query) {
  nlohmann::json attempts = nlohmann::json::array();
  for (const UnitRecord& row : snapshot.rows) {
    bool match = false;
    if (!query.text.empty()) {
      match = row.serial == query.text || std::to_string(row.unit_id) == query.text;
    } else if (query.exit_code) {
      match = row.finished && row.exit_code == *query.exit_code &&
              (query.station.empty() || row.station == query.station) &&
              (query.port.empty() || row.port == query.port);
    }
    if (match) attempts.push_back(AttemptJson(row));
  }
  // a unit id finds its row; its serial number then finds every attempt of it
  if (!query.text.empty() && attempts.size() == 1 && attempts[0]["serial"] != query.text &&
      !attempts[0]["serial"].get<std::string>().empty()) {
    return UnitJson(snapshot, UnitQuery{attempts[0]["serial"].get<std::string>(), {}, {}, {}});
  }
  return {{"store", snapshot.store},
          {"store_error", snapshot.store_error},
          {"query", query.text},
          {"exit", query.exit_code ? nlohmann::json(*query.exit_code) : nlohmann::json()},
          {"attempts", attempts}};
}

std::string MetricsText(const Snapshot& snapshot) {
  std::string text =
      "# HELP qz670x_store_up Whether the production log could be read at the last poll.\n"
      "# TYPE qz670x_store_up gauge\n"
      "qz670x_store_up " + std::string(snapshot.store_error.empty() ? "1" : "0") + "\n"
      "# HELP qz670x_units_total Units in the production log, by station and outcome.\n"
      "# TYPE qz670x_units_total counter\n";
  const std::map<std::string, StationRows> stations = ByStation(snapshot);
  std::string ages =
      "# HELP qz670x_station_seconds_since_report Seconds since a station's last state report, "
      "or its last unit's start or end when later.\n"
      "# TYPE qz670x_station_seconds_since_report gauge\n";
  std::string backlogs =
      "# HELP qz670x_journal_backlog Units waiting in a station's journal for the line "
      "database, as the station last reported.\n# TYPE qz670x_journal_backlog gauge\n";
  char number[64];
  for (const auto& [name, station] : stations) {
    std::size_t passed = 0, failed = 0, unfinished = 0;
    for (const UnitRecord* row : station.rows) {
      (!row->finished ? unfinished : row->exit_code == 0 ? passed : failed) += 1;
    }
    const std::string label = "station=\"" + PrometheusLabel(name) + "\"";
    for (const auto& [outcome, count] :
         {std::pair<const char*, std::size_t>{"passed", passed}, {"failed", failed},
          {"unfinished", unfinished}}) {
      text += "qz670x_units_total{" + label + ",outcome=\"" + outcome + "\"} " +
              std::to_string(count) + "\n";
    }
    std::snprintf(number, sizeof number, "%.0f",
                  std::max(0.0, snapshot.now - station.last_report));
    ages += "qz670x_station_seconds_since_report{" + label + "} " + number + "\n";
    if (station.state != nullptr && station.state->backlog) {
      backlogs += "qz670x_journal_backlog{" + label + "} " +
                  std::to_string(*station.state->backlog) + "\n";
    }
  }
  return text + ages + backlogs;
}

std::vector<std::string> SilentStations(std::span<const prodlog::StationState> states,
                                        double now, const AlertSettings& settings) {
  std::vector<std::string> silent;
  for (const prodlog::StationState& state : states) {
    const double reported = prodlog::SecondsOf(state.reported).value_or(0.0);
    if (!state.ended && now - reported > settings.station_silent_s) silent.push_back(state.station);
  }
  return silent;
}

}  // namespace qz::dashboard
