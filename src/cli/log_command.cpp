// `log`: the production log's rows as text, CSV or JSON Lines, or a summary of them; and the
// owner's import of a serial list into a line database.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/hex_text.h"
#include "cli/cli_common.h"
#include "dialog/write_outcome.h"
#include "prodlog/log_summary.h"
#include "prodlog/production_log.h"
#include "serials/serial_list.h"
#include "results/unit_json.h"

namespace qz::cli {
namespace {

using prodlog::Summarize;
using prodlog::Summary;

constexpr const char* kAppName = "qz670x-mp-cli";

struct LogArgs {
  std::string log_path;
  std::string since;
  std::string port;
  bool csv = false;
  std::string station;
  std::string by;
  bool summary = false;
  bool upgrade_schema = false;
  bool head_office = false;
  std::string import_serials;    // --import-serials FILE
  std::string serial_list_name;  // --serial-list-name NAME
};

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void PrintCsv(std::ostream& out, const std::vector<prodlog::UnitRecord>& rows) {
  out << "id,state,station,port,serial,serial_released,image_path,image_sha256,mode,"
         "write_length,overrides,started,ended,exit,message,duration_ms,transfers,chip_status,"
         "chip_identity,eeprom_touched,replug,job_name,job_revision,job_sha256,job_key,"
         "serial_source,detail\r\n";
  for (const prodlog::UnitRecord& row : rows) {
    const auto finished = [&](const std::string& text) { return row.finished ? text : ""; };
    out << row.unit_id << ',' << (row.finished ? "finished" : "unfinished") << ','
        << CsvField(row.station) << ',' << CsvField(row.port) << ',' << CsvField(row.serial)
        << ',' << (row.serial_released ? 1 : 0) << ',' << CsvField(row.image_path) << ','
        << row.image_sha256 << ',' << CsvField(row.mode) << ',' << row.write_length << ','
        << CsvField(row.overrides_json) << ',' << row.started << ',' << finished(row.ended)
        << ',' << finished(std::to_string(row.exit_code)) << ','
        << CsvField(finished(row.message)) << ',' << finished(std::to_string(row.duration_ms))
        << ',' << finished(std::to_string(row.transfers)) << ','
        << (row.finished && row.chip_status ? "0x" + FormatHex(*row.chip_status, 2) : "") << ','
        << (row.finished && row.chip_identity ? "0x" + FormatHex(*row.chip_identity, 8) : "")
        << ',' << finished(row.eeprom_touched ? "1" : "0") << ',' << CsvField(finished(row.replug))
        << ',' << CsvField(row.job.name) << ',' << CsvField(row.job.revision) << ','
        << row.job.sha256 << ',' << CsvField(prodlog::JobKey(row)) << ','
        << row.serial_source << ','
        << CsvField(results::OutcomeDetail(row)) << "\r\n";
  }
}

void PrintText(std::ostream& out, const std::vector<prodlog::UnitRecord>& rows) {
  for (const prodlog::UnitRecord& row : rows) {
    out << row.started << "  " << row.station << "  " << row.port << "  "
        << (row.serial.empty() ? "-" : row.serial) << (row.serial_released ? " (released)" : "");
    // a counted number reads as it always did; the others say where they came from
    if (row.serial_source == "list" || row.serial_source == "program") {
      out << " (" << row.serial_source << ")";
    }
    out << "  ";
    if (row.finished) {
      out << "exit " << row.exit_code << "  " << row.duration_ms << " ms  " << row.message;
      if (const std::string detail = results::OutcomeDetail(row); !detail.empty()) out << "  (" << detail << ')';
    } else {
      out << "unfinished";
    }
    out << '\n';
  }
}

nlohmann::json SummaryJson(const Summary& summary) {
  nlohmann::json by_exit = nlohmann::json::array();
  for (const auto& [code, entry] : summary.failed_by_exit) {
    const std::string_view detail = ExplainJobOutcome(code);
    by_exit.push_back({{"exit", code},
                       {"units", entry.first},
                       {"message", entry.second},
                       {"detail", detail.empty() ? nlohmann::json() : nlohmann::json(detail)}});
  }
  const auto rounded = [](const std::optional<double>& value) {
    return value ? nlohmann::json(std::round(*value * 10.0) / 10.0) : nlohmann::json();
  };
  return {{"type", "summary"},
          {"units", summary.units},
          {"passed", summary.passed},
          {"failed", summary.failed},
          {"unfinished", summary.unfinished},
          {"failed_by_exit", by_exit},
          {"yield_percent", std::round(summary.yield * 10.0) / 10.0},
          {"mean_ms", summary.mean_ms ? nlohmann::json(std::lround(*summary.mean_ms))
                                      : nlohmann::json()},
          {"p95_ms", summary.p95_ms ? nlohmann::json(*summary.p95_ms) : nlohmann::json()},
          {"units_per_hour", rounded(summary.units_per_hour)},
          {"busy_hours", std::round(summary.busy_hours * 1000.0) / 1000.0}};
}

// The keys a summary can be grouped by: one line each.
struct Grouping {
  const char* name;
  std::string (*key)(const prodlog::UnitRecord&);
};
constexpr Grouping kGroupings[] = {
    {"station", [](const prodlog::UnitRecord& row) { return row.station; }},
    {"port", [](const prodlog::UnitRecord& row) { return row.port; }},
    {"hour", [](const prodlog::UnitRecord& row) { return row.started.substr(0, 13) + ":00Z"; }},
    {"day", [](const prodlog::UnitRecord& row) { return row.started.substr(0, 10); }},
    {"job", prodlog::JobText},
    {"site", [](const prodlog::UnitRecord& row) { return row.site; }},
};

const Grouping* FindGrouping(const std::string& name) {
  for (const Grouping& grouping : kGroupings) {
    if (name == grouping.name) return &grouping;
  }
  return nullptr;
}

std::string GroupingNames() {
  std::string names;
  for (const Grouping& grouping : kGroupings) {
    names += names.empty() ? "" : "|";
    names += grouping.name;
  }
  return names;
}

// The summary as CSV: a header, then one row (or one row per group, its key first).
void PrintSummaryCsv(std::ostream& out, const std::vector<prodlog::UnitRecord>& rows,
                     const Grouping* grouping) {
  std::map<std::string, std::vector<const prodlog::UnitRecord*>> groups;
  for (const prodlog::UnitRecord& row : rows) {
    groups[grouping != nullptr ? grouping->key(row) : std::string()].push_back(&row);
  }
  if (grouping == nullptr && groups.empty()) groups[""];
  if (grouping != nullptr) out << grouping->name << ',';
  out << "units,passed,failed,unfinished,yield_percent,mean_ms,p95_ms,units_per_hour,busy_hours"
         "\r\n";
  for (const auto& [key, members] : groups) {
    const Summary summary = Summarize(members);
    char figures[160];
    std::snprintf(figures, sizeof figures, "%zu,%zu,%zu,%zu,%.1f,", summary.units, summary.passed,
                  summary.failed, summary.unfinished, summary.yield);
    if (grouping != nullptr) out << CsvField(key) << ',';
    out << figures << (summary.mean_ms ? std::to_string(std::lround(*summary.mean_ms)) : "") << ','
        << (summary.p95_ms ? std::to_string(*summary.p95_ms) : "") << ','
        << (summary.units_per_hour ? std::to_string(std::lround(*summary.units_per_hour)) : "");
    std::snprintf(figures, sizeof figures, ",%.3f\r\n", summary.busy_hours);
    out << figures;
  }
}

// Units, passes, failures by exit code, yield, job times and units per hour; with a grouping,
// one line of those figures per group.
void PrintSummary(const Context& context, const std::vector<prodlog::UnitRecord>& rows,
                  const Grouping* grouping) {
  if (grouping == nullptr) {
    std::vector<const prodlog::UnitRecord*> all;
    for (const prodlog::UnitRecord& row : rows) all.push_back(&row);
    const Summary summary = Summarize(all);
    if (context.output.json) {
      context.output.JsonLine(JsonText(SummaryJson(summary)));
      return;
    }
    std::ostream& out = *context.output.out;
    char yield_text[32];
    std::snprintf(yield_text, sizeof yield_text, "%.1f %%", summary.yield);
    out << "units:      " << summary.units << '\n'
        << "passed:     " << summary.passed << '\n'
        << "failed:     " << summary.failed << '\n';
    for (const auto& [code, entry] : summary.failed_by_exit) {
      out << "  exit " << code << ": " << entry.first << "  " << entry.second << '\n';
      if (const std::string_view detail = ExplainJobOutcome(code); !detail.empty()) {
        out << "           " << detail << '\n';
      }
    }
    out << "unfinished: " << summary.unfinished << '\n' << "yield:      " << yield_text << '\n';
    if (summary.mean_ms) {
      out << "job time:   mean " << std::lround(*summary.mean_ms) << " ms, 95th percentile "
          << *summary.p95_ms << " ms\n";
    } else {
      out << "job time:   -\n";
    }
    if (summary.units_per_hour) {
      char hours[32];
      std::snprintf(hours, sizeof hours, "%.2f", summary.busy_hours);
      out << "units/hour: " << std::lround(*summary.units_per_hour) << "  (over " << hours
          << " h with a unit running, summed over the stations)\n";
    }
    return;
  }
  std::map<std::string, std::vector<const prodlog::UnitRecord*>> groups;
  for (const prodlog::UnitRecord& row : rows) groups[grouping->key(row)].push_back(&row);
  if (!context.output.json) {
    char line[256];
    std::snprintf(line, sizeof line, "%-24s %7s %7s %7s %10s %7s %8s %8s %8s\n", grouping->name,
                  "units", "passed", "failed", "unfinished", "yield", "mean_ms", "p95_ms",
                  "units/h");
    *context.output.out << line;
  }
  for (const auto& [key, members] : groups) {
    const Summary summary = Summarize(members);
    if (context.output.json) {
      nlohmann::json line = SummaryJson(summary);
      line["by"] = grouping->name;
      line[grouping->name] = key;
      context.output.JsonLine(JsonText(line));
      continue;
    }
    const auto figure = [](const auto& value) {
      return value ? std::to_string(std::llround(static_cast<double>(*value))) : std::string("-");
    };
    char line[512];
    std::snprintf(line, sizeof line, "%-24s %7zu %7zu %7zu %10zu %6.1f%% %8s %8s %8s\n",
                  key.c_str(), summary.units, summary.passed, summary.failed, summary.unfinished,
                  summary.yield, figure(summary.mean_ms).c_str(), figure(summary.p95_ms).c_str(),
                  figure(summary.units_per_hour).c_str());
    *context.output.out << line;
  }
}

// The file checked whole, then imported into the line database in one transaction.
int ImportSerials(Context& context, const LogArgs& args) {
  const auto fail = [&](const std::string& message, Exit exit) {
    *context.output.err << kAppName << ": " << message << '\n';
    return static_cast<int>(exit);
  };
  if (args.serial_list_name.empty()) {
    return fail("--import-serials needs --serial-list-name NAME: the stations lease by it",
                Exit::kUsage);
  }
  if (!prodlog::IsDatabaseLocation(args.log_path)) {
    return fail("--import-serials is for a line database (--log postgresql://... or "
                "service=NAME, the owner's login); a station's own log file reads its list with "
                "station --serial-list FILE",
                Exit::kUsage);
  }
  std::string why;
  const std::optional<std::vector<std::string>> numbers =
      serials::ReadSerialList(args.import_serials, &why);
  if (!numbers) return fail(why, Exit::kUsage);
  prodlog::LogError error;
  const std::optional<std::int64_t> imported =
      prodlog::ImportSerialList(args.log_path, args.serial_list_name, *numbers, &error);
  if (!imported) {
    return fail(error.message,
                error.kind == prodlog::LogError::Kind::kUsage ? Exit::kUsage : Exit::kIoError);
  }
  if (context.output.json) {
    context.output.JsonLine(JsonText(
        {{"type", "import"}, {"list", args.serial_list_name}, {"numbers", *imported}}));
  } else {
    *context.output.out << "Imported " << *imported << " serial numbers as the list \""
                        << args.serial_list_name << "\".\n";
  }
  return static_cast<int>(Exit::kOk);
}

int RunLog(Context& context, const LogArgs& args) {
  const auto fail = [&](const std::string& message, Exit exit) {
    *context.output.err << kAppName << ": " << message << '\n';
    return static_cast<int>(exit);
  };
  if (!args.import_serials.empty()) return ImportSerials(context, args);
  if (!args.serial_list_name.empty()) {
    return fail("--serial-list-name does nothing without --import-serials", Exit::kUsage);
  }
  if (const std::optional<prodlog::LogError> bad = prodlog::SinceProblem(args.since)) {
    return fail(bad->message, Exit::kUsage);
  }
  std::string path = args.log_path;
  if (path.empty()) {
    // the log the stations of this PC write: the station configuration's, else the default
    std::string error;
    const std::optional<production::StationSettings> settings =
        production::LoadStationSettings(&error);
    if (!settings) return fail(error, Exit::kConfig);
    path = settings->log;
  }
  if (path.empty()) {
    std::string error;
    path = prodlog::DefaultLogPath(&error);
    if (path.empty()) return fail(error, Exit::kIoError);
  }
  prodlog::LogError error;
  const Grouping* grouping = nullptr;
  if (!args.by.empty()) {
    grouping = FindGrouping(args.by);
    if (grouping == nullptr) {
      return fail("--by: \"" + args.by + "\" is not one of " + GroupingNames(), Exit::kUsage);
    }
  }
  prodlog::LogOptions options;
  // reading never changes the store; the owner of a line database creates or upgrades its
  // schema with --upgrade-schema
  options.read_only = !args.upgrade_schema;
  options.head_office = args.head_office;
  if (args.head_office && !args.upgrade_schema) {
    return fail("--head-office goes with --upgrade-schema (reading, a head office is read as a "
                "line)",
                Exit::kUsage);
  }
  if (args.upgrade_schema && !prodlog::IsDatabaseLocation(path)) {
    return fail("--upgrade-schema is for a line database (postgresql://... or service=NAME)",
                Exit::kUsage);
  }
  std::unique_ptr<prodlog::ProductionLog> log = prodlog::ProductionLog::Open(path, &error, options);
  if (!log) return fail(error.message, Exit::kIoError);
  const std::optional<std::vector<prodlog::UnitRecord>> rows =
      log->Rows(prodlog::LogFilter{args.since, args.port, args.station}, &error);
  if (!rows) {
    return fail(error.message,
                error.kind == prodlog::LogError::Kind::kUsage ? Exit::kUsage : Exit::kIoError);
  }

  if (args.summary && args.csv) {
    PrintSummaryCsv(*context.output.out, *rows, grouping);
  } else if (args.summary) {
    PrintSummary(context, *rows, grouping);
  } else if (args.csv) {
    PrintCsv(*context.output.out, *rows);
  } else if (context.output.json) {
    for (const prodlog::UnitRecord& row : *rows) {
      context.output.JsonLine(
          JsonText(results::UnitJson(row)));
    }
  } else {
    PrintText(*context.output.out, *rows);
  }
  return static_cast<int>(Exit::kOk);
}

}  // namespace

void AddLogCommand(CLI::App& app, Context& context) {
  auto args = std::make_shared<LogArgs>();
  CLI::App* command = app.add_subcommand(
      "log", "Export the production log: one row per unit, as text, CSV or JSON Lines (--json)");
  command->add_option("--log", args->log_path,
                      "Production log: a file (default: "
                      "$XDG_DATA_HOME/qz670x-mp/production.sqlite3), or a line database as "
                      "postgresql://HOST/DB?sslmode=verify-full or service=NAME (no password: "
                      "~/.pgpass, the service file or PGPASSWORD)")
      ->type_name("FILE|URI");
  command->add_option("--since", args->since,
                      "Only units started at or after this UTC time (2026-01-31, "
                      "2026-01-31T08:00, 2026-01-31T08:00:00Z)")
      ->type_name("TIME");
  command->add_option("--port", args->port, "Only units programmed on this USB port")
      ->type_name("PATH");
  command->add_option("--station", args->station, "Only units programmed by this station")
      ->type_name("NAME");
  command->add_flag("--csv", args->csv,
                    "CSV with a header line instead of text (with --summary: the summary's figures)");
  command->add_flag("--summary", args->summary,
                    "Units, passed, failed by exit code, yield, mean and 95th-percentile job "
                    "time, units per hour");
  command->add_option("--by", args->by,
                      "With --summary: one line of figures per " + GroupingNames())
      ->type_name(GroupingNames());
  command->add_flag("--upgrade-schema", args->upgrade_schema,
                    "Create or upgrade the line database's schema first (run once as the "
                    "database's owner after installing a new version)");
  command->add_flag("--head-office", args->head_office,
                    "With --upgrade-schema: the database is a head office's record of every "
                    "site's units (filled by PostgreSQL's replication from the sites), not a line");
  command->add_option("--import-serials", args->import_serials,
                      "Import a list of serial numbers, one a line, into the line database (the "
                      "owner's login), once, as --serial-list-name NAME; its stations lease from "
                      "it with station --serial-list-name NAME")
      ->type_name("FILE");
  command->add_option("--serial-list-name", args->serial_list_name,
                      "The name of the list --import-serials imports")
      ->type_name("NAME");
  command->callback([&context, args] {
    if (args->csv && context.output.json) {
      *context.output.err << kAppName << ": --csv and --json exclude each other\n";
      context.exit_code = static_cast<int>(Exit::kUsage);
      return;
    }
    context.exit_code = RunLog(context, *args);
  });
}

}  // namespace qz::cli
