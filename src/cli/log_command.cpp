// `log`: the production log's rows as text, CSV or JSON Lines, or a summary of them.
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
#include "prodlog/production_log.h"

namespace qz::cli {
namespace {

constexpr const char* kAppName = "qz670x-mp-cli";

struct LogArgs {
  std::string log_path;
  std::string since;
  std::string port;
  bool csv = false;
  bool summary = false;
  std::string by;  // --by: one summary per group of rows
};

// How `--summary --by` groups the rows: a name and the group of a row.
struct Grouping {
  const char* name;
  std::string (*group)(const prodlog::UnitRecord& row);
};

constexpr Grouping kGroupings[] = {
    {"job",
     [](const prodlog::UnitRecord& row) {
       return row.job.name.empty() ? std::string("(no job)")
                                   : row.job.name + " revision " + row.job.revision;
     }},
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

nlohmann::json RowJson(const prodlog::UnitRecord& row) {
  nlohmann::json overrides = nlohmann::json::parse(row.overrides_json, nullptr, false);
  if (overrides.is_discarded()) overrides = row.overrides_json;
  nlohmann::json line = {
      {"type", "unit"},
      {"id", row.unit_id},
      {"state", row.finished ? "finished" : "unfinished"},
      {"station", row.station},
      {"port", row.port},
      {"serial", row.serial.empty() ? nlohmann::json() : nlohmann::json(row.serial)},
      {"serial_released", row.serial_released},
      {"image_path", row.image_path},
      {"image_sha256", row.image_sha256},
      {"mode", row.mode},
      {"write_length", row.write_length},
      {"overrides", overrides},
      {"started", row.started},
      {"ended", nlohmann::json()},
      {"exit", nlohmann::json()},
      {"message", nlohmann::json()},
      {"duration_ms", nlohmann::json()},
      {"transfers", nlohmann::json()},
      {"chip_status", nlohmann::json()},
      {"chip_identity", nlohmann::json()},
      {"eeprom_touched", nlohmann::json()},
      {"replug", nlohmann::json()},
      {"job_name", row.job.name},
      {"job_revision", row.job.revision},
      {"job_sha256", row.job.sha256},
      {"job_key", row.job.key},
  };
  if (row.finished) {
    line["ended"] = row.ended;
    line["exit"] = row.exit_code;
    line["message"] = row.message;
    line["duration_ms"] = row.duration_ms;
    line["transfers"] = row.transfers;
    if (row.chip_status) line["chip_status"] = *row.chip_status;
    if (row.chip_identity) line["chip_identity"] = *row.chip_identity;
    line["eeprom_touched"] = row.eeprom_touched;
    line["replug"] = row.replug;
  }
  return line;
}

void PrintCsv(std::ostream& out, const std::vector<prodlog::UnitRecord>& rows) {
  out << "id,state,station,port,serial,serial_released,image_path,image_sha256,mode,"
         "write_length,overrides,started,ended,exit,message,duration_ms,transfers,chip_status,"
         "chip_identity,eeprom_touched,replug,job_name,job_revision,job_sha256,job_key\r\n";
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
        << row.job.sha256 << ',' << CsvField(row.job.key) << "\r\n";
  }
}

void PrintText(std::ostream& out, const std::vector<prodlog::UnitRecord>& rows) {
  for (const prodlog::UnitRecord& row : rows) {
    out << row.started << "  " << row.station << "  " << row.port << "  "
        << (row.serial.empty() ? "-" : row.serial) << (row.serial_released ? " (released)" : "")
        << "  ";
    if (row.finished) {
      out << "exit " << row.exit_code << "  " << row.duration_ms << " ms  " << row.message;
    } else {
      out << "unfinished";
    }
    out << '\n';
  }
}

// Units, passes, failures by exit code, yield, and job times of the finished units.
void PrintSummary(const Context& context, const std::vector<prodlog::UnitRecord>& rows,
                  const std::pair<std::string, std::string>& group = {}) {
  std::size_t passed = 0;
  std::size_t unfinished = 0;
  std::map<int, std::pair<std::size_t, std::string>> failed;  // exit -> count, first message
  std::vector<std::int64_t> durations;
  for (const prodlog::UnitRecord& row : rows) {
    if (!row.finished) {
      ++unfinished;
      continue;
    }
    durations.push_back(row.duration_ms);
    if (row.exit_code == 0) {
      ++passed;
    } else {
      auto& entry = failed[row.exit_code];
      if (entry.first++ == 0) entry.second = row.message;
    }
  }
  std::size_t failed_total = 0;
  for (const auto& [code, entry] : failed) failed_total += entry.first;
  const double yield =
      rows.empty() ? 0.0 : 100.0 * static_cast<double>(passed) / static_cast<double>(rows.size());
  std::optional<double> mean_ms;
  std::optional<std::int64_t> p95_ms;
  if (!durations.empty()) {
    std::sort(durations.begin(), durations.end());
    double sum = 0;
    for (const std::int64_t d : durations) sum += static_cast<double>(d);
    mean_ms = sum / static_cast<double>(durations.size());
    // nearest rank: the smallest time that at least 95 % of the jobs did not exceed
    const auto rank = static_cast<std::size_t>(
        std::ceil(0.95 * static_cast<double>(durations.size())));
    p95_ms = durations[std::max<std::size_t>(rank, 1) - 1];
  }

  if (context.output.json) {
    nlohmann::json by_exit = nlohmann::json::array();
    for (const auto& [code, entry] : failed) {
      by_exit.push_back({{"exit", code}, {"units", entry.first}, {"message", entry.second}});
    }
    nlohmann::json line = {{"type", "summary"},
                           {"units", rows.size()},
                           {"passed", passed},
                           {"failed", failed_total},
                           {"unfinished", unfinished},
                           {"failed_by_exit", by_exit},
                           {"yield_percent", std::round(yield * 10.0) / 10.0},
                           {"mean_ms", mean_ms ? nlohmann::json(std::lround(*mean_ms))
                                               : nlohmann::json()},
                           {"p95_ms", p95_ms ? nlohmann::json(*p95_ms) : nlohmann::json()}};
    if (!group.first.empty()) line[group.first] = group.second;
    context.output.JsonLine(JsonText(line));
    return;
  }
  std::ostream& out = *context.output.out;
  char yield_text[32];
  std::snprintf(yield_text, sizeof yield_text, "%.1f %%", yield);
  if (!group.first.empty()) out << group.first << ": " << group.second << '\n';
  out << "units:      " << rows.size() << '\n'
      << "passed:     " << passed << '\n'
      << "failed:     " << failed_total << '\n';
  for (const auto& [code, entry] : failed) {
    out << "  exit " << code << ": " << entry.first << "  " << entry.second << '\n';
  }
  out << "unfinished: " << unfinished << '\n' << "yield:      " << yield_text << '\n';
  if (mean_ms) {
    out << "job time:   mean " << std::lround(*mean_ms) << " ms, 95th percentile " << *p95_ms
        << " ms\n";
  } else {
    out << "job time:   -\n";
  }
}

int RunLog(Context& context, const LogArgs& args) {
  const auto fail = [&](const std::string& message, Exit exit) {
    *context.output.err << kAppName << ": " << message << '\n';
    return static_cast<int>(exit);
  };
  std::string path = args.log_path;
  if (path.empty()) {
    std::string error;
    path = prodlog::DefaultLogPath(&error);
    if (path.empty()) return fail(error, Exit::kIoError);
  }
  prodlog::LogError error;
  prodlog::LogOptions options;
  options.read_only = true;
  std::unique_ptr<prodlog::ProductionLog> log = prodlog::ProductionLog::Open(path, &error, options);
  if (!log) return fail(error.message, Exit::kIoError);
  const std::optional<std::vector<prodlog::UnitRecord>> rows =
      log->Rows(prodlog::LogFilter{args.since, args.port}, &error);
  if (!rows) {
    return fail(error.message,
                error.kind == prodlog::LogError::Kind::kUsage ? Exit::kUsage : Exit::kIoError);
  }

  if (args.summary && !args.by.empty()) {
    const Grouping* grouping = nullptr;
    for (const Grouping& candidate : kGroupings) {
      if (args.by == candidate.name) grouping = &candidate;
    }
    if (grouping == nullptr) return fail("--by: unknown grouping \"" + args.by + "\"", Exit::kUsage);
    std::map<std::string, std::vector<prodlog::UnitRecord>> groups;
    for (const prodlog::UnitRecord& row : *rows) groups[grouping->group(row)].push_back(row);
    bool first = true;
    for (const auto& [key, members] : groups) {
      if (!first && !context.output.json) *context.output.out << '\n';
      first = false;
      PrintSummary(context, members, {grouping->name, key});
    }
  } else if (args.summary) {
    PrintSummary(context, *rows);
  } else if (args.csv) {
    PrintCsv(*context.output.out, *rows);
  } else if (context.output.json) {
    for (const prodlog::UnitRecord& row : *rows) {
      context.output.JsonLine(
          JsonText(RowJson(row)));
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
                      "Production log file (default: $XDG_DATA_HOME/qz670x-mp/production.sqlite3)")
      ->type_name("FILE");
  command->add_option("--since", args->since,
                      "Only units started at or after this UTC time (2026-01-31, "
                      "2026-01-31T08:00, 2026-01-31T08:00:00Z)")
      ->type_name("TIME");
  command->add_option("--port", args->port, "Only units programmed on this USB port")
      ->type_name("PATH");
  command->add_flag("--csv", args->csv, "CSV with a header line instead of text");
  command->add_flag("--summary", args->summary,
                    "Units, passed, failed by exit code, yield, mean and 95th-percentile job time");
  command->add_option("--by", args->by, "With --summary: one summary per job")
      ->type_name("job");
  command->callback([&context, args] {
    if (!args->by.empty() && !args->summary) {
      *context.output.err << kAppName << ": --by needs --summary\n";
      context.exit_code = static_cast<int>(Exit::kUsage);
      return;
    }
    if (args->csv && context.output.json) {
      *context.output.err << kAppName << ": --csv and --json exclude each other\n";
      context.exit_code = static_cast<int>(Exit::kUsage);
      return;
    }
    context.exit_code = RunLog(context, *args);
  });
}

}  // namespace qz::cli
