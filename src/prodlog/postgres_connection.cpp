// The line database's connection: connecting with the time-outs that keep a station from
// waiting long on the network, the statements both the direct store and the journal's push
// target prepare, their error messages, and the serial-number lease both take.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog::postgres {
namespace {

// Statements, by name.
const std::pair<const char*, const char*> kStatements[] = {
    {"begin", "BEGIN"},
    {"commit", "COMMIT"},
    // the line's own functions (the station's login may write nothing else)
    {"lease", "SELECT qz670x.lease($1::text, $2::bigint, $3::integer, $4::text, $5::text)"},
    {"lease_list",
     "SELECT place, serial FROM qz670x.lease_list($1::text, $2::integer, $3::text, $4::text)"},
    {"lease_return", "SELECT qz670x.lease_return($1::text)"},
    {"claim_program", "SELECT qz670x.claim_program_serial($1::text, $2::text)"},
    // a unit, on a number leased to the holder ($11 NULL: none) or the program's number $17;
    // a unit recorded already (by its $1) gives its id again
    {"unit_start",
     "SELECT qz670x.unit_start($1::text, $2::timestamptz, $3::text, $4::text, $5::text,"
     " $6::text, $7::text, $8::integer, $9::text, $10::text, $11::bigint, $12::text, $13::text,"
     " $14::text, $15::text, $16::text, $17::text)"},
    // a unit's end; a number whose EEPROM stayed untouched goes back to the holder's lease
    {"unit_end",
     "SELECT * FROM qz670x.unit_end($1::bigint, $2::timestamptz, $3::integer, $4::text,"
     " $5::bigint, $6::bigint, $7::integer, $8::bigint, $9::boolean, $10::text, $11::text)"},
    {"line", "SELECT id::text FROM qz670x.line"},
    // a station's state report, as the holder's login
    {"station_report",
     "SELECT qz670x.station_report($1::text, $2::text, $3::text, $4::text, $5::text, $6::text,"
     " $7::text, $8::text, $9::text, $10::text, $11::integer, $12::timestamptz,"
     " $13::timestamptz, $14::boolean)"},
    {"station_states",
     "SELECT station, host, version, job_name, job_revision, job_key, image_path, image_sha256,"
     " ports, backlog, to_char(last_push AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
     " to_char(reported AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), ended"
     " FROM qz670x.station_state ORDER BY station"},
    {"unit_by_uid",
     "SELECT id, serial, serial_number FROM qz670x.units WHERE unit_uid = $1"},
    {"unit_ended", "SELECT ended IS NOT NULL FROM qz670x.units WHERE id = $1"},
};

// The rows' columns; `site` and the order are the schema's.
constexpr const char* kRows =
    "SELECT id, to_char(started AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
    " to_char(ended AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), station, port,"
    " image_path, image_sha256, mode, write_length, overrides, serial, serial_released,"
    " exit_code, message, duration_ms, transfers, chip_status, chip_identity, eeprom_touched,"
    " replug, job_name, job_revision, job_sha256, job_key,"
    " CASE WHEN serial IS NULL THEN '' WHEN serial_format IS NULL THEN 'program'"
    " WHEN starts_with(serial_format, 'list:') THEN 'list' ELSE 'counter' END, ";
constexpr const char* kRowsWhere =
    " FROM qz670x.units WHERE ($1::timestamptz IS NULL OR started >= $1::timestamptz)"
    " AND ($2 = '' OR port = $2) AND ($3 = '' OR station = $3) ORDER BY ";

}  // namespace

std::span<const std::pair<const char*, const char*>> Statements() { return kStatements; }

std::string RowsStatement(const Schema& schema) {
  // a line's site came with schema 3; a head office orders its sites' units by time
  if (schema.kind == SchemaKind::kHeadOffice) {
    return std::string(kRows) + "coalesce(site, '')" + kRowsWhere + "started, site, id";
  }
  return std::string(kRows) + (schema.version >= 3 ? "coalesce(site, '')" : "''") + kRowsWhere +
         "id";
}

LogError Failed(pq::Connection& connection, const std::string& where, const LogOptions& options,
                const pq::Result& result, const char* doing) {
  const std::string state = result.SqlState();
  std::string text = result.Error();
  if (state == kStatementTimeout) {
    text = "the server did not finish within " + std::to_string(options.statement_timeout_ms) +
           " ms (statement timeout)";
  } else if (state == kLockTimeout) {
    text = "another station held a lock longer than " + std::to_string(options.lock_timeout_ms) +
           " ms (lock timeout)";
  } else if (state == kPrivilege) {
    text = "permission denied: " + text;
  } else if (!connection.Ok()) {
    text = "the connection broke: " + connection.Error();
  }
  return LogError{LogError::Kind::kIo, "Line database " + where + ": " + std::string(doing) +
                                           ": " + text};
}

std::optional<std::vector<std::int64_t>> LeaseNumbers(pq::Connection& connection,
                                                      const std::string& where,
                                                      const LogOptions& options,
                                                      const SerialFormat& format,
                                                      std::int64_t floor, std::int64_t block,
                                                      const std::string& station,
                                                      const std::string& holder,
                                                      LogError* error) {
  const pq::Result result =
      connection.Run("lease", {format.Text(), Number(floor), Number(block), station, holder});
  if (result.Ok()) {
    std::vector<std::int64_t> numbers;
    for (int i = 0; i < result.Rows(); ++i) numbers.push_back(result.Int(i, 0));
    return numbers;
  }
  // none left: the '#' run's end (the message is the counter's next number), or the site's range
  if (result.SqlState() == kRunUsedUp) {
    *error = LogError{LogError::Kind::kSerialExhausted,
                      "Line database " + where + ": " +
                          format.OverflowMessage(std::strtoull(result.Message().c_str(), nullptr, 10))};
  } else if (result.SqlState() == kRangeUsedUp) {
    *error = LogError{LogError::Kind::kSerialExhausted,
                      "Line database " + where + ": " + result.Message()};
  } else {
    *error = Failed(connection, where, options, result, "leasing serial numbers");
  }
  return std::nullopt;
}

std::optional<std::vector<std::pair<std::int64_t, std::string>>> LeaseListNumbers(
    pq::Connection& connection, const std::string& where, const LogOptions& options,
    const std::string& name, std::int64_t block, const std::string& station,
    const std::string& holder, LogError* error) {
  const pq::Result result = connection.Run("lease_list", {name, Number(block), station, holder});
  if (result.Ok()) {
    std::vector<std::pair<std::int64_t, std::string>> numbers;
    for (int i = 0; i < result.Rows(); ++i) numbers.emplace_back(result.Int(i, 0), result.Text(i, 1));
    return numbers;
  }
  if (result.SqlState() == kListUsedUp) {
    *error = LogError{LogError::Kind::kSerialExhausted,
                      "Line database " + where + ": " + result.Message()};
  } else if (result.SqlState() == kNoSuchList) {
    *error = LogError{LogError::Kind::kIo, "Line database " + where + ": " + result.Message()};
  } else {
    *error = Failed(connection, where, options, result, "leasing serial numbers");
  }
  return std::nullopt;
}

std::unique_ptr<pq::Connection> Connect(const std::string& location, LogError* error,
                                        const LogOptions& options, std::string* where_out,
                                        Schema* schema_out) {
  std::unique_ptr<pq::Connection> connection = pq::Connection::Open(
      location, {{"connect_timeout", std::to_string(std::max(options.connect_timeout_s, 1))},
                 {"keepalives", "1"},
                 {"keepalives_idle", "10"},
                 {"keepalives_interval", "5"},
                 {"keepalives_count", "3"},
                 {"application_name", "qz670x-mp"}});
  const std::string where = "postgresql://" + connection->Where();
  *where_out = where;
  if (!connection->Ok()) {
    *error = LogError{LogError::Kind::kUnavailable,
                      "Line database " + where + ": cannot connect: " + connection->Error()};
    return nullptr;
  }
  const std::string timeouts = "SELECT set_config('lock_timeout', '" +
                               std::to_string(std::max(options.lock_timeout_ms, 0)) +
                               "', false), set_config('statement_timeout', '" +
                               std::to_string(std::max(options.statement_timeout_ms, 0)) +
                               "', false), set_config('TimeZone', 'UTC', false)";
  if (const pq::Result set = connection->Exec(timeouts.c_str()); !set.Ok()) {
    *error = LogError{LogError::Kind::kIo, "Line database " + where + ": " + set.Error()};
    return nullptr;
  }
  const std::optional<Schema> schema = BringSchemaUpToDate(*connection, where, options, error);
  if (!schema) return nullptr;
  if (schema_out != nullptr) *schema_out = *schema;
  return connection;
}

std::vector<pq::Param> StationReportParams(const StationState& state, const std::string& holder) {
  return {holder,
          state.station,
          state.host,
          state.version,
          state.job.name,
          state.job.revision,
          state.job.key,
          state.image_path,
          state.image_sha256,
          PortsJson(state.ports),
          state.backlog ? pq::Param(Number(*state.backlog)) : std::nullopt,
          state.last_push.empty() ? std::nullopt : pq::Param(state.last_push),
          state.reported,
          state.ended ? "true" : "false"};
}

std::vector<StationState> StationStatesOf(const pq::Result& result) {
  std::vector<StationState> states;
  for (int i = 0; i < result.Rows(); ++i) {
    StationState state;
    state.station = result.Text(i, 0);
    state.host = result.Text(i, 1);
    state.version = result.Text(i, 2);
    state.job = {result.Text(i, 3), result.Text(i, 4), {}, result.Text(i, 5)};
    state.image_path = result.Text(i, 6);
    state.image_sha256 = result.Text(i, 7);
    state.ports = PortsOfJson(result.Text(i, 8));
    if (!result.IsNull(i, 9)) state.backlog = static_cast<int>(result.Int(i, 9));
    state.last_push = result.Text(i, 10);
    state.reported = result.Text(i, 11);
    state.ended = result.Text(i, 12) == "t";
    states.push_back(std::move(state));
  }
  return states;
}

}  // namespace qz::prodlog::postgres
