// The line database's connection: connecting with the time-outs that keep a station from
// waiting long on the network, the statements both the direct store and the journal's push
// target prepare, their error messages, and the serial-number lease both take.
#include <algorithm>
#include <cstdint>
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
    // a block: the lowest released numbers first, then the counter
    {"released_lease",
     "DELETE FROM qz670x.serials_released WHERE format = $1 AND number IN"
     " (SELECT number FROM qz670x.serials_released WHERE format = $1 AND number >= $2::bigint"
     "  ORDER BY number LIMIT $3::integer FOR UPDATE SKIP LOCKED) RETURNING number"},
    {"counter_lease",
     "INSERT INTO qz670x.serial_counters AS c(format, next) VALUES($1, $2::bigint + $3::bigint)"
     " ON CONFLICT(format) DO UPDATE SET next = GREATEST(c.next, $2::bigint) + $3::bigint"
     " RETURNING next - $3::bigint"},
    {"lease_insert",
     "INSERT INTO qz670x.serial_leases(format, number, station, holder)"
     " SELECT $1, unnest($2::bigint[]), $3, $4"},
    {"lease_return",
     "WITH returned AS (DELETE FROM qz670x.serial_leases WHERE holder = $1"
     "  RETURNING format, number, station),"
     " pooled AS (INSERT INTO qz670x.serials_released(format, number)"
     "  SELECT format, number FROM returned ON CONFLICT DO NOTHING)"
     " INSERT INTO qz670x.serial_returns(format, number, station)"
     " SELECT format, number, station FROM returned"},
    // a unit on a leased number, in one statement: no lease, no row
    {"unit_insert_leased",
     "WITH lease AS (DELETE FROM qz670x.serial_leases WHERE format = $11 AND number = $12"
     "  AND holder = $17 RETURNING number),"
     " unit AS (INSERT INTO qz670x.units(unit_uid, started, station, port, image_path,"
     "  image_sha256, mode, write_length, overrides, serial, serial_format, serial_number,"
     "  job_name, job_revision, job_sha256, job_key)"
     "  SELECT $1, $2::timestamptz, $3, $4, $5, $6, $7, $8, $9, $10, $11, number, $13, $14,"
     "  $15, $16 FROM lease RETURNING id, serial),"
     " held AS (INSERT INTO qz670x.serials_held(serial, unit_id) SELECT serial, id FROM unit)"
     " SELECT id FROM unit"},
    {"unit_insert",
     "INSERT INTO qz670x.units(unit_uid, started, station, port, image_path, image_sha256, mode,"
     " write_length, overrides, serial, serial_format, serial_number, job_name, job_revision,"
     " job_sha256, job_key)"
     " VALUES($1, $2::timestamptz, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16)"
     " RETURNING id"},
    // a journal's unit: recorded once however often it is pushed
    {"unit_push",
     "WITH unit AS (INSERT INTO qz670x.units(unit_uid, started, station, port, image_path,"
     "  image_sha256, mode, write_length, overrides, serial, serial_format, serial_number,"
     "  job_name, job_revision, job_sha256, job_key)"
     "  VALUES($1, $2::timestamptz, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15,"
     "  $16) ON CONFLICT (unit_uid) DO NOTHING"
     "  RETURNING id, serial, serial_format, serial_number),"
     " lease AS (DELETE FROM qz670x.serial_leases l USING unit WHERE l.format ="
     "  unit.serial_format AND l.number = unit.serial_number AND l.holder = $17),"
     " held AS (INSERT INTO qz670x.serials_held(serial, unit_id) SELECT serial, id FROM unit"
     "  WHERE serial IS NOT NULL ON CONFLICT DO NOTHING)"
     " SELECT id FROM unit"},
    {"unit_by_uid",
     "SELECT id, serial, serial_number FROM qz670x.units WHERE unit_uid = $1"},
    {"unit_ended", "SELECT ended IS NOT NULL FROM qz670x.units WHERE id = $1"},
    // a unit's end in one statement; a number whose EEPROM stayed untouched goes back
    {"unit_complete_all",
     "WITH unit AS (UPDATE qz670x.units SET ended = $2::timestamptz, exit_code = $3,"
     "  message = $4, duration_ms = $5, transfers = $6, chip_status = $7, chip_identity = $8,"
     "  eeprom_touched = $9, serial_released = (serial IS NOT NULL AND NOT $9::boolean),"
     "  replug = $10 WHERE id = $1 AND ended IS NULL"
     "  RETURNING id, serial, serial_format, serial_number, serial_released, station),"
     " unheld AS (DELETE FROM qz670x.serials_held h USING unit"
     "  WHERE unit.serial_released AND h.serial = unit.serial AND h.unit_id = unit.id),"
     " back AS (INSERT INTO qz670x.serial_leases(format, number, station, holder)"
     "  SELECT serial_format, serial_number, station, $11 FROM unit WHERE serial_released"
     "  ON CONFLICT DO NOTHING)"
     " SELECT serial_released, serial_format, serial_number FROM unit"},
    {"rows",
     "SELECT id, to_char(started AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
     " to_char(ended AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), station, port,"
     " image_path, image_sha256, mode, write_length, overrides, serial, serial_released,"
     " exit_code, message, duration_ms, transfers, chip_status, chip_identity, eeprom_touched,"
     " replug, job_name, job_revision, job_sha256, job_key FROM qz670x.units"
     " WHERE ($1::timestamptz IS NULL OR started >= $1::timestamptz)"
     " AND ($2 = '' OR port = $2) AND ($3 = '' OR station = $3) ORDER BY id"},
};

}  // namespace

std::span<const std::pair<const char*, const char*>> Statements() { return kStatements; }

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
  const auto failed_message = [&](const pq::Result& failed, const char* doing) {
    return Failed(connection, where, options, failed, doing);
  };
  const char* doing = "leasing serial numbers";
  pq::Result result = connection.Run("begin", {});
  if (!result.Ok()) return *error = failed_message(result, doing), std::nullopt;
  const auto fail = [&](const pq::Result& failed) -> std::optional<std::vector<std::int64_t>> {
    *error = failed_message(failed, doing);
    (void)connection.Exec("ROLLBACK");
    return std::nullopt;
  };
  std::vector<std::int64_t> numbers;
  // released numbers first, lowest first, then the counter
  result = connection.Run("released_lease", {format.Text(), Number(floor), Number(block)});
  if (!result.Ok()) return fail(result);
  for (int i = 0; i < result.Rows(); ++i) numbers.push_back(result.Int(i, 0));
  const std::int64_t more = block - static_cast<std::int64_t>(numbers.size());
  if (more > 0) {
    result = connection.Run("counter_lease", {format.Text(), Number(floor), Number(more)});
    if (!result.Ok()) return fail(result);
    const std::int64_t first = result.Int(0, 0);
    // a number that outgrows the '#' run is never handed out
    for (std::int64_t n = first; n < first + more; ++n) {
      if (format.Fits(static_cast<std::uint64_t>(n))) numbers.push_back(n);
    }
    if (numbers.empty()) {
      (void)connection.Exec("ROLLBACK");  // the counter goes back with the transaction
      *error = LogError{LogError::Kind::kSerialExhausted,
                        "Line database " + where + ": " +
                            format.OverflowMessage(static_cast<std::uint64_t>(first))};
      return std::nullopt;
    }
  }
  std::string array = "{";
  for (const std::int64_t n : numbers) array += (array.size() > 1 ? "," : "") + Number(n);
  array += "}";
  result = connection.Run("lease_insert", {format.Text(), array, station, holder});
  if (!result.Ok()) return fail(result);
  result = connection.Run("commit", {});
  if (!result.Ok()) return *error = failed_message(result, doing), std::nullopt;
  return numbers;
}

std::unique_ptr<pq::Connection> Connect(const std::string& location, LogError* error,
                                        const LogOptions& options, std::string* where_out) {
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
  if (!BringSchemaUpToDate(*connection, where, options, error)) return nullptr;
  return connection;
}

}  // namespace qz::prodlog::postgres
