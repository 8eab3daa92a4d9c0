// The production log of a line: one PostgreSQL database that every station writes.
//
// Everything lives in the schema "qz670x". A station never waits long on the network: libpq's
// connect_timeout and TCP keepalives bound the connection, lock_timeout and statement_timeout
// every statement. When the connection breaks in the middle of a unit, the log connects again
// and looks the unit up by the id the station made for it (unit_uid), so a COMMIT whose outcome
// was lost is neither lost nor done twice.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "prodlog/pq.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog {
namespace {

using pq::Param;

// Schema versions, kept in qz670x.schema_version:
//   v1  units, serial counters, released and held numbers; finished rows guarded by a trigger,
//       a station completes only the rows it inserted (row-level security); dashboard views
//   v2  serial numbers leased to stations in blocks, and the record of those returned
// Each entry upgrades from the version before it; append, never edit a released step.
constexpr const char* kMigrations[] = {
    // v1
    R"sql(
CREATE TABLE qz670x.units(
  id bigserial PRIMARY KEY,
  unit_uid text NOT NULL UNIQUE,
  inserted_by name NOT NULL DEFAULT current_user,
  started timestamptz NOT NULL, ended timestamptz,
  station text NOT NULL, port text NOT NULL,
  image_path text NOT NULL, image_sha256 text NOT NULL,
  mode text NOT NULL, write_length integer NOT NULL,
  overrides text NOT NULL,
  serial text, serial_format text, serial_number bigint,
  serial_released boolean NOT NULL DEFAULT false,
  exit_code integer, message text, duration_ms bigint, transfers bigint,
  chip_status integer, chip_identity bigint, eeprom_touched boolean,
  replug text NOT NULL DEFAULT '',
  job_name text NOT NULL DEFAULT '', job_revision text NOT NULL DEFAULT '',
  job_sha256 text NOT NULL DEFAULT '', job_key text NOT NULL DEFAULT '');
CREATE INDEX units_started ON qz670x.units(started);
CREATE INDEX units_station_started ON qz670x.units(station, started);
CREATE INDEX units_open ON qz670x.units(started) WHERE ended IS NULL;
CREATE TABLE qz670x.serial_counters(format text PRIMARY KEY, next bigint NOT NULL);
CREATE TABLE qz670x.serials_released(format text NOT NULL, number bigint NOT NULL,
  PRIMARY KEY(format, number));
CREATE TABLE qz670x.serials_held(serial text PRIMARY KEY,
  unit_id bigint NOT NULL REFERENCES qz670x.units(id));

-- A finished row is never changed and no row is ever deleted; of an unfinished row only its
-- end is written.
CREATE FUNCTION qz670x.units_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP = 'DELETE' THEN
    RAISE EXCEPTION 'production log rows are never deleted (unit %)', OLD.id
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  IF OLD.ended IS NOT NULL THEN
    RAISE EXCEPTION 'unit % is finished and cannot be changed', OLD.id
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  IF (NEW.id, NEW.unit_uid, NEW.inserted_by, NEW.started, NEW.station, NEW.port,
      NEW.image_path, NEW.image_sha256, NEW.mode, NEW.write_length, NEW.overrides, NEW.serial,
      NEW.serial_format, NEW.serial_number, NEW.job_name, NEW.job_revision, NEW.job_sha256,
      NEW.job_key)
     IS DISTINCT FROM
     (OLD.id, OLD.unit_uid, OLD.inserted_by, OLD.started, OLD.station, OLD.port,
      OLD.image_path, OLD.image_sha256, OLD.mode, OLD.write_length, OLD.overrides, OLD.serial,
      OLD.serial_format, OLD.serial_number, OLD.job_name, OLD.job_revision, OLD.job_sha256,
      OLD.job_key) THEN
    RAISE EXCEPTION 'only the end of unit % can be written', OLD.id
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER units_guard BEFORE UPDATE OR DELETE ON qz670x.units
  FOR EACH ROW EXECUTE FUNCTION qz670x.units_guard();

-- Roles other than the owner: everyone reads, a station inserts its rows as itself and
-- completes only its own unfinished ones.
ALTER TABLE qz670x.units ENABLE ROW LEVEL SECURITY;
CREATE POLICY units_read ON qz670x.units FOR SELECT USING (true);
CREATE POLICY units_insert ON qz670x.units FOR INSERT WITH CHECK (inserted_by = current_user);
CREATE POLICY units_complete ON qz670x.units FOR UPDATE
  USING (inserted_by = current_user AND ended IS NULL) WITH CHECK (inserted_by = current_user);

-- Dashboards.
CREATE VIEW qz670x.yield_per_station_hour AS
  SELECT station, date_trunc('hour', started AT TIME ZONE 'UTC') AS hour_utc,
         count(*) AS units,
         count(*) FILTER (WHERE exit_code = 0) AS passed,
         count(*) FILTER (WHERE ended IS NOT NULL AND exit_code <> 0) AS failed,
         count(*) FILTER (WHERE ended IS NULL) AS unfinished,
         round(100.0 * count(*) FILTER (WHERE exit_code = 0) / count(*), 1) AS yield_percent
  FROM qz670x.units GROUP BY 1, 2;
CREATE VIEW qz670x.failures_by_outcome AS
  SELECT exit_code, message, count(*) AS units, min(started) AS first, max(started) AS last
  FROM qz670x.units WHERE ended IS NOT NULL AND exit_code <> 0
  GROUP BY exit_code, message;
CREATE VIEW qz670x.units_unfinished AS
  SELECT id, station, port, serial, started, now() - started AS unfinished_for
  FROM qz670x.units WHERE ended IS NULL;
)sql",
    // v2
    R"sql(
CREATE TABLE qz670x.serial_leases(format text NOT NULL, number bigint NOT NULL,
  station text NOT NULL, holder text NOT NULL, leased_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY(format, number));
CREATE TABLE qz670x.serial_returns(format text NOT NULL, number bigint NOT NULL,
  station text NOT NULL, returned_at timestamptz NOT NULL DEFAULT now());
)sql",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

// Serial numbers are stored as bigint, which is signed.
constexpr std::uint64_t kLargestStoredNumber =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// SQLSTATEs with their own message.
constexpr const char* kStatementTimeout = "57014";
constexpr const char* kLockTimeout = "55P03";
constexpr const char* kPrivilege = "42501";
constexpr const char* kUniqueViolation = "23505";

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

// "2026-01-31T08" ... completed to a full UTC time, for a comparison in the database.
std::string SinceTime(const std::string& prefix) {
  static const std::string kZero = "0000-00-00T00:00:00.000";
  std::string full = prefix;
  if (full.size() == 10) full += "T00:00";
  if (full.size() == 16) full += ":00";
  if (full.size() == 19) full += ".000";
  return full + (full.size() < kZero.size() ? kZero.substr(full.size()) : "") + "Z";
}

std::string Number(std::int64_t value) { return std::to_string(value); }

// An operator message for a statement that failed.
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

// Leases up to `block` numbers of `format` from `floor` on to `holder` in one transaction: the
// lowest released numbers first, then the format's counter; none that outgrows the '#' run.
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

class PostgresLog final : public ProductionLog {
 public:
  PostgresLog(std::unique_ptr<pq::Connection> connection, std::string where, LogOptions options)
      : connection_(std::move(connection)), path_(std::move(where)), options_(options) {}
  // Returns the numbers of its blocks that no unit took.
  ~PostgresLog() override;

  [[nodiscard]] const std::string& Path() const override { return path_; }
  [[nodiscard]] std::optional<BegunUnit> BeginUnit(const UnitStart& start,
                                                   LogError* error) override;
  [[nodiscard]] bool CompleteUnit(std::int64_t unit_id, const UnitEnd& end,
                                  LogError* error) override;
  [[nodiscard]] std::optional<std::vector<UnitRecord>> Rows(const LogFilter& filter,
                                                            LogError* error) override;

  bool PrepareAll(LogError* error) {
    for (const auto& [name, sql] : kStatements) {
      std::string why;
      if (!connection_->Prepare(name, sql, &why)) {
        *error = Error("preparing its statements: " + why);
        return false;
      }
    }
    return true;
  }

 private:
  LogError Error(const std::string& text, LogError::Kind kind = LogError::Kind::kIo) const {
    return LogError{kind, "Line database " + path_ + ": " + text};
  }
  LogError Failed(const pq::Result& result, const char* doing) const {
    return prodlog::Failed(*connection_, path_, options_, result, doing);
  }
  // The connection broke: connect again (prepared statements come back with it).
  bool Reconnect(LogError* error) {
    if (connection_->Reset()) return true;
    *error = Error("cannot connect again: " + connection_->Error());
    return false;
  }
  void Rollback() { (void)connection_->Exec("ROLLBACK"); }

  // The lowest number of this station's blocks from `floor` on, leasing a new block when none
  // is left; nullopt and *error when none can be had (exhausted, or the database failed).
  std::optional<std::int64_t> NextNumber(const SerialFormat& format, std::int64_t floor,
                                         const std::string& station, LogError* error);
  bool LeaseBlock(const SerialFormat& format, std::int64_t floor, const std::string& station,
                  LogError* error);
  std::optional<BegunUnit> TryBegin(const UnitStart& start, const std::string& uid,
                                    LogError* error);
  bool TryComplete(std::int64_t unit_id, const UnitEnd& end, LogError* error);

  std::mutex mutex_;
  std::unique_ptr<pq::Connection> connection_;
  const std::string path_;
  const LogOptions options_;
  // This log's lease holder id, and the numbers leased to it, per format.
  const std::string holder_ = NewUnitUid();
  std::map<std::string, std::set<std::int64_t>> leased_;
  // Calls whose outcome was lost with the connection and could not be looked up then (the
  // server was still away): the unit id made for a port's start, and units whose completion
  // may have been committed. The next call for the same port or unit looks them up first, so a
  // retry neither begins a second row nor finds its own completion "already completed".
  std::map<std::string, std::string> unsettled_begins_;  // port -> unit uid
  std::set<std::int64_t> unsettled_completions_;
};

PostgresLog::~PostgresLog() {
  const std::lock_guard lock(mutex_);
  bool any = false;
  for (const auto& [format, numbers] : leased_) any = any || !numbers.empty();
  if (!any) return;
  // Unused numbers go back to the line's pool, recorded as returned. When this fails (the
  // database is gone) they stay leased to this holder: held for good, never handed out twice.
  if (!connection_->Ok() && !connection_->Reset()) return;
  (void)connection_->Run("lease_return", {holder_});
}

bool PostgresLog::LeaseBlock(const SerialFormat& format, std::int64_t floor,
                             const std::string& station, LogError* error) {
  const std::optional<std::vector<std::int64_t>> numbers =
      LeaseNumbers(*connection_, path_, options_, format, floor,
                   std::max(options_.serial_block, 1), station, holder_, error);
  if (!numbers) return false;
  leased_[format.Text()].insert(numbers->begin(), numbers->end());
  return true;
}

std::optional<std::int64_t> PostgresLog::NextNumber(const SerialFormat& format,
                                                    std::int64_t floor,
                                                    const std::string& station,
                                                    LogError* error) {
  for (int round = 0; round < 2; ++round) {
    const std::set<std::int64_t>& numbers = leased_[format.Text()];
    if (const auto it = numbers.lower_bound(floor); it != numbers.end()) return *it;
    if (round == 0 && !LeaseBlock(format, floor, station, error)) return std::nullopt;
  }
  *error = Error("no serial number could be leased", LogError::Kind::kIo);
  return std::nullopt;
}

std::optional<BegunUnit> PostgresLog::BeginUnit(const UnitStart& start, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  if (options_.read_only) {
    *error = Error("opened for reading only", LogError::Kind::kUsage);
    return std::nullopt;
  }
  const std::lock_guard lock(mutex_);
  const auto unsettled = unsettled_begins_.find(start.port);
  const bool retry = unsettled != unsettled_begins_.end();
  const std::string uid = retry ? unsettled->second : NewUnitUid();
  if (!connection_->Ok() && !Reconnect(error)) return std::nullopt;
  std::optional<BegunUnit> begun;
  if (!retry) {
    begun = TryBegin(start, uid, error);
    if (begun || connection_->Ok()) return begun;
    // The connection broke; the unit may have been committed before it did.
    if (!connection_->Reset()) {
      unsettled_begins_[start.port] = uid;
      *error = Error("cannot connect again: " + connection_->Error());
      return std::nullopt;
    }
  }
  const LogError first = *error;
  const pq::Result found = connection_->Run("unit_by_uid", {uid});
  if (!found.Ok()) return *error = Failed(found, "looking a unit up"), std::nullopt;
  unsettled_begins_.erase(start.port);
  if (found.Rows() == 1) {
    if (start.serial_format && !found.IsNull(0, 1)) {
      leased_[start.serial_format->Text()].erase(found.Int(0, 2));
    }
    return BegunUnit{found.Int(0, 0), found.Text(0, 1)};
  }
  begun = TryBegin(start, uid, error);
  if (!begun && error->kind == LogError::Kind::kIo && !connection_->Ok()) *error = first;
  return begun;
}

std::optional<BegunUnit> PostgresLog::TryBegin(const UnitStart& start, const std::string& uid,
                                               LogError* error) {
  const std::string started = start.started.empty() ? NowUtcIso8601() : start.started;
  if (!start.serial_format) {
    const pq::Result result = connection_->Run(
        "unit_insert",
        {uid, started, start.station, start.port, start.image_path, start.image_sha256,
         start.mode, Number(start.write_length), OverridesJson(start.overrides, ""),
         std::nullopt, std::nullopt, std::nullopt, start.job.name, start.job.revision,
         start.job.sha256, start.job.key});
    if (!result.Ok()) return *error = Failed(result, "starting a unit"), std::nullopt;
    return BegunUnit{result.Int(0, 0), ""};
  }
  const SerialFormat& format = *start.serial_format;
  const auto floor =
      static_cast<std::int64_t>(std::min(start.serial_start, kLargestStoredNumber));
  while (true) {
    const std::optional<std::int64_t> number = NextNumber(format, floor, start.station, error);
    if (!number) return std::nullopt;
    const std::string serial = *format.Format(static_cast<std::uint64_t>(*number));
    // the row, its number taken off this station's lease and held by the unit, in one statement
    const pq::Result result = connection_->Run(
        "unit_insert_leased",
        {uid, started, start.station, start.port, start.image_path, start.image_sha256,
         start.mode, Number(start.write_length), OverridesJson(start.overrides, serial), serial,
         format.Text(), Number(*number), start.job.name, start.job.revision, start.job.sha256,
         start.job.key, holder_});
    if (result.Ok() && result.Rows() == 1) {
      leased_[format.Text()].erase(*number);
      return BegunUnit{result.Int(0, 0), serial};
    }
    if (result.Ok() || (result.SqlState() == kUniqueViolation &&
                        result.Constraint() == "serials_held_pkey")) {
      // no longer leased to us, or another format made the same text: skip the number
      leased_[format.Text()].erase(*number);
      continue;
    }
    *error = Failed(result, "starting a unit");
    return std::nullopt;
  }
}

bool PostgresLog::CompleteUnit(std::int64_t unit_id, const UnitEnd& end, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  if (options_.read_only) {
    *error = Error("opened for reading only", LogError::Kind::kUsage);
    return false;
  }
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return false;
  const bool retry = unsettled_completions_.count(unit_id) != 0;
  if (!retry) {
    if (TryComplete(unit_id, end, error)) return true;
    if (connection_->Ok()) return false;
    // The connection broke; the completion may have been committed before it did.
    unsettled_completions_.insert(unit_id);
    if (!Reconnect(error)) return false;
  }
  const LogError first = *error;
  const pq::Result ended = connection_->Run("unit_ended", {Number(unit_id)});
  if (!ended.Ok()) return *error = Failed(ended, "completing a unit"), false;
  unsettled_completions_.erase(unit_id);
  if (ended.Rows() == 1 && ended.Text(0, 0) == "t") {
    // done before the break; a released number went back to this station's lease
    return true;
  }
  if (TryComplete(unit_id, end, error)) return true;
  if (!connection_->Ok()) *error = first;
  return false;
}

bool PostgresLog::TryComplete(std::int64_t unit_id, const UnitEnd& end, LogError* error) {
  const std::string id = Number(unit_id);
  const pq::Result result = connection_->Run(
      "unit_complete_all",
      {id, end.ended.empty() ? NowUtcIso8601() : end.ended, Number(end.exit_code), end.message,
       Number(end.duration_ms), Number(static_cast<std::int64_t>(end.transfers)),
       end.chip_status ? Param(Number(*end.chip_status)) : std::nullopt,
       end.chip_identity ? Param(Number(*end.chip_identity)) : std::nullopt,
       end.eeprom_touched ? "true" : "false", end.replug, holder_});
  if (!result.Ok()) return *error = Failed(result, "completing a unit"), false;
  if (result.Rows() == 0) {
    const pq::Result found = connection_->Run("unit_ended", {id});
    const bool exists = found.Ok() && found.Rows() == 1;
    *error = Error("unit " + id + (exists ? " is already completed" : " does not exist"),
                   LogError::Kind::kUsage);
    return false;
  }
  // a number whose EEPROM stayed untouched is this station's again, for its next unit
  if (result.Text(0, 0) == "t") leased_[result.Text(0, 1)].insert(result.Int(0, 2));
  return true;
}

std::optional<std::vector<UnitRecord>> PostgresLog::Rows(const LogFilter& filter,
                                                         LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  Param since;
  if (!filter.since.empty()) {
    const std::optional<std::string> normal = NormalizeSince(filter.since);
    if (!normal) return *error = BadSince(filter.since), std::nullopt;
    since = SinceTime(*normal);
  }
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return std::nullopt;
  pq::Result rows = connection_->Run("rows", {since, filter.port, filter.station});
  if (!rows.Ok() && !connection_->Ok()) {
    if (!Reconnect(error)) return std::nullopt;
    rows = connection_->Run("rows", {since, filter.port, filter.station});
  }
  if (!rows.Ok()) return *error = Failed(rows, "reading rows"), std::nullopt;
  std::vector<UnitRecord> records;
  records.reserve(static_cast<std::size_t>(rows.Rows()));
  for (int i = 0; i < rows.Rows(); ++i) {
    UnitRecord record;
    record.unit_id = rows.Int(i, 0);
    record.started = rows.Text(i, 1);
    record.finished = !rows.IsNull(i, 2);
    record.ended = rows.Text(i, 2);
    record.station = rows.Text(i, 3);
    record.port = rows.Text(i, 4);
    record.image_path = rows.Text(i, 5);
    record.image_sha256 = rows.Text(i, 6);
    record.mode = rows.Text(i, 7);
    record.write_length = static_cast<std::uint32_t>(rows.Int(i, 8));
    record.overrides_json = rows.Text(i, 9);
    record.serial = rows.Text(i, 10);
    record.serial_released = rows.Text(i, 11) == "t";
    record.exit_code = static_cast<int>(rows.Int(i, 12));
    record.message = rows.Text(i, 13);
    record.duration_ms = rows.Int(i, 14);
    record.transfers = static_cast<std::uint64_t>(rows.Int(i, 15));
    if (!rows.IsNull(i, 16)) record.chip_status = static_cast<std::uint8_t>(rows.Int(i, 16));
    if (!rows.IsNull(i, 17)) record.chip_identity = static_cast<std::uint32_t>(rows.Int(i, 17));
    record.eeprom_touched = rows.Text(i, 18) == "t";
    record.replug = rows.Text(i, 19);
    record.job = {rows.Text(i, 20), rows.Text(i, 21), rows.Text(i, 22), rows.Text(i, 23)};
    records.push_back(std::move(record));
  }
  return records;
}

// Reads the schema version: nullopt and *error for a database that is not ours; 0 when it has
// no production log yet.
std::optional<int> SchemaVersion(pq::Connection& connection, const std::string& where,
                                 LogError* error) {
  const pq::Result result = connection.Exec(
      "SELECT to_regclass('qz670x.schema_version') IS NOT NULL,"
      " EXISTS(SELECT 1 FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
      "  WHERE c.relkind IN ('r', 'p', 'v', 'm') AND n.nspname NOT IN"
      "  ('pg_catalog', 'information_schema') AND n.nspname NOT LIKE 'pg\\_toast%')");
  if (!result.Ok()) {
    *error = LogError{LogError::Kind::kIo,
                      "Line database " + where + ": reading its schema: " + result.Error()};
    return std::nullopt;
  }
  if (result.Text(0, 0) != "t") {
    if (result.Text(0, 1) == "t") {
      *error = LogError{LogError::Kind::kIo,
                        "Line database " + where +
                            ": it is not a qz670x-mp production log (it holds other tables)"};
      return std::nullopt;
    }
    return 0;
  }
  const pq::Result version = connection.Exec("SELECT max(version) FROM qz670x.schema_version");
  if (!version.Ok() || version.Rows() != 1 || version.IsNull(0, 0)) {
    *error = LogError{LogError::Kind::kIo, "Line database " + where +
                                               ": it is not a qz670x-mp production log (no "
                                               "schema version)"};
    return std::nullopt;
  }
  return static_cast<int>(version.Int(0, 0));
}

bool Migrate(pq::Connection& connection, const std::string& where, LogError* error) {
  const auto failed = [&](const pq::Result& result) {
    const std::string state = result.SqlState();
    std::string text = "Line database " + where + ": upgrading its schema: " + result.Error();
    if (state == kPrivilege) {
      text += " (the schema is created and upgraded by the database's owner: run this version "
              "once with --log naming the owner's role, then the stations)";
    }
    *error = LogError{LogError::Kind::kIo, text};
    (void)connection.Exec("ROLLBACK");
    return false;
  };
  pq::Result result = connection.Exec("BEGIN");
  if (!result.Ok()) return failed(result);
  // one station migrates; the others wait here and then find the work done
  result = connection.Exec("SELECT pg_advisory_xact_lock(6706700)");
  if (!result.Ok()) return failed(result);
  const std::optional<int> found = SchemaVersion(connection, where, error);
  if (!found) {
    (void)connection.Exec("ROLLBACK");
    return false;
  }
  int version = *found;
  if (version == 0) {
    result = connection.Exec(
        "CREATE SCHEMA IF NOT EXISTS qz670x;"
        "CREATE TABLE qz670x.schema_version(version integer NOT NULL);"
        "INSERT INTO qz670x.schema_version VALUES(0)");
    if (!result.Ok()) return failed(result);
  }
  for (; version < kSchemaVersion; ++version) {
    result = connection.Exec(kMigrations[version]);
    if (!result.Ok()) return failed(result);
  }
  result = connection.Exec(("UPDATE qz670x.schema_version SET version = " +
                            std::to_string(kSchemaVersion)).c_str());
  if (!result.Ok()) return failed(result);
  result = connection.Exec("COMMIT");
  if (!result.Ok()) return failed(result);
  return true;
}

// A line database as a station's journal pushes to it: no state of its own beyond the
// connection; every call can be repeated.
class PostgresLine final : public LineStore {
 public:
  PostgresLine(std::unique_ptr<pq::Connection> connection, std::string where, LogOptions options)
      : connection_(std::move(connection)), path_(std::move(where)), options_(options) {}

  std::optional<std::vector<std::int64_t>> Lease(const SerialFormat& format, std::int64_t floor,
                                                 std::int64_t count, const std::string& station,
                                                 const std::string& holder,
                                                 LogError* error) override {
    if (!Connected(error)) return std::nullopt;
    return LeaseNumbers(*connection_, path_, options_, format, floor, count, station, holder,
                        error);
  }

  bool Push(std::span<const JournalUnit> units, const std::string& holder,
            LogError* error) override {
    if (!Connected(error)) return false;
    pq::Result result = connection_->Run("begin", {});
    if (!result.Ok()) return Fail(result, error);
    for (const JournalUnit& unit : units) {
      if (!PushOne(unit, holder, error)) return false;
    }
    // A COMMIT whose answer is lost is pushed again: the database then has the units already.
    result = connection_->Run("commit", {});
    if (!result.Ok()) return Fail(result, error);
    return true;
  }

  // One unit inside the push's transaction.
  bool PushOne(const JournalUnit& unit, const std::string& holder, LogError* error) {
    const UnitRecord& row = unit.record;
    const bool serial = !unit.serial_format.empty();
    pq::Result result = connection_->Run(
        "unit_push",
        {unit.uid, row.started, row.station, row.port, row.image_path, row.image_sha256, row.mode,
         Number(row.write_length), row.overrides_json, serial ? Param(row.serial) : std::nullopt,
         serial ? Param(unit.serial_format) : std::nullopt,
         serial ? Param(Number(unit.number)) : std::nullopt, row.job.name, row.job.revision,
         row.job.sha256, row.job.key, holder});
    if (!result.Ok()) return Fail(result, error);
    if (row.finished) {
      std::int64_t id = 0;
      if (result.Rows() == 1) {
        id = result.Int(0, 0);
      } else {
        result = connection_->Run("unit_by_uid", {unit.uid});
        if (!result.Ok() || result.Rows() != 1) return Fail(result, error);
        id = result.Int(0, 0);
      }
      // an end the database already has is not written again (no row comes back)
      result = connection_->Run(
          "unit_complete_all",
          {Number(id), row.ended, Number(row.exit_code), row.message, Number(row.duration_ms),
           Number(static_cast<std::int64_t>(row.transfers)),
           row.chip_status ? Param(Number(*row.chip_status)) : std::nullopt,
           row.chip_identity ? Param(Number(*row.chip_identity)) : std::nullopt,
           row.eeprom_touched ? "true" : "false", row.replug, holder});
      if (!result.Ok()) return Fail(result, error);
    }
    return true;
  }

  bool ReturnLeases(const std::string& holder, LogError* error) override {
    if (!Connected(error)) return false;
    const pq::Result result = connection_->Run("lease_return", {holder});
    if (!result.Ok()) return Fail(result, error);
    return true;
  }

  bool PrepareAll(LogError* error) {
    for (const auto& [name, sql] : kStatements) {
      std::string why;
      if (!connection_->Prepare(name, sql, &why)) {
        *error = LogError{LogError::Kind::kIo,
                          "Line database " + path_ + ": preparing its statements: " + why};
        return false;
      }
    }
    return true;
  }

 private:
  bool Connected(LogError* error) {
    if (connection_->Ok() || connection_->Reset()) return true;
    *error = LogError{LogError::Kind::kUnavailable,
                      "Line database " + path_ + ": cannot connect: " + connection_->Error()};
    return false;
  }
  bool Fail(const pq::Result& result, LogError* error) {
    *error = Failed(*connection_, path_, options_, result, "pushing the journal");
    if (!connection_->Ok()) {
      error->kind = LogError::Kind::kUnavailable;
    } else {
      (void)connection_->Exec("ROLLBACK");
    }
    return false;
  }

  std::unique_ptr<pq::Connection> connection_;
  const std::string path_;
  const LogOptions options_;
};

// Connects, sets the session's time-outs and brings the schema up to date. nullptr and *error
// (kUnavailable when the server cannot be reached) on failure; *where names the database.
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
  const std::optional<int> version = SchemaVersion(*connection, where, error);
  if (!version) return nullptr;
  if (*version > kSchemaVersion) {
    *error = LogError{LogError::Kind::kIo,
                      "Line database " + where +
                          ": it was written by a newer version of this program (schema " +
                          std::to_string(*version) + ", this program knows " +
                          std::to_string(kSchemaVersion) + ")"};
    return nullptr;
  }
  if (*version < kSchemaVersion) {
    if (options.read_only) {
      if (*version == 0) {
        *error = LogError{LogError::Kind::kIo,
                          "Line database " + where + ": it holds no production log yet"};
        return nullptr;
      }
    } else if (!Migrate(*connection, where, error)) {
      return nullptr;
    }
  }
  return connection;
}

}  // namespace

std::unique_ptr<ProductionLog> OpenPostgresLog(const std::string& location, LogError* error,
                                               const LogOptions& options) {
  std::string where;
  std::unique_ptr<pq::Connection> connection = Connect(location, error, options, &where);
  if (!connection) {
    if (error->kind == LogError::Kind::kUnavailable) error->kind = LogError::Kind::kIo;
    return nullptr;
  }
  auto log = std::make_unique<PostgresLog>(std::move(connection), where, options);
  if (!log->PrepareAll(error)) return nullptr;
  return log;
}

std::unique_ptr<LineStore> OpenLineStore(const std::string& location, LogError* error,
                                         const LogOptions& options, std::string* where_out) {
  std::string where;
  std::unique_ptr<pq::Connection> connection = Connect(location, error, options, &where);
  if (where_out != nullptr) *where_out = where;
  if (!connection) return nullptr;
  auto line = std::make_unique<PostgresLine>(std::move(connection), where, options);
  if (!line->PrepareAll(error)) return nullptr;
  return line;
}

}  // namespace qz::prodlog
