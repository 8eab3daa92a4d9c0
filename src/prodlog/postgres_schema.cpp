// The line database's schema: its versions, and bringing a database up to the one this program
// writes.
#include <iterator>
#include <optional>
#include <string>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog::postgres {
namespace {

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

}  // namespace

bool BringSchemaUpToDate(pq::Connection& connection, const std::string& where,
                         const LogOptions& options, LogError* error) {
  const std::optional<int> version = SchemaVersion(connection, where, error);
  if (!version) return false;
  if (*version > kSchemaVersion) {
    *error = LogError{LogError::Kind::kIo,
                      "Line database " + where +
                          ": it was written by a newer version of this program (schema " +
                          std::to_string(*version) + ", this program knows " +
                          std::to_string(kSchemaVersion) + ")"};
    return false;
  }
  if (*version < kSchemaVersion) {
    if (options.read_only) {
      if (*version == 0) {
        *error = LogError{LogError::Kind::kIo,
                          "Line database " + where + ": it holds no production log yet"};
        return false;
      }
    } else if (!Migrate(connection, where, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace qz::prodlog::postgres
