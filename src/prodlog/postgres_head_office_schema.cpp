// The head office's schema: one read-only record of the units of every site, filled by
// PostgreSQL's logical replication from each site's line database (packaging/postgresql/
// site-publication.sql and head-office.sql), never by a station.
#include <iterator>
#include <span>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog::postgres {
namespace {

// Schema versions of a head office, kept in qz670x.schema_version beside the marker
// qz670x.schema_kind ('head-office'; a line database has no marker):
//   v1  the units of every site keyed by the station-made unit id, the line's views plus the
//       site; rows come only from replication
// Each entry upgrades from the version before it; append, never edit a released step. A column
// a site publishes is added here before any site publishes it.
constexpr const char* kHeadOfficeMigrations[] = {
    // v1
    R"sql(
CREATE TABLE qz670x.schema_kind(kind text PRIMARY KEY CHECK (kind = 'head-office'));
INSERT INTO qz670x.schema_kind VALUES('head-office');

-- The columns a line's units publish, matched by name; a site's own row id is unique at its
-- site only, the station-made unit id everywhere.
CREATE TABLE qz670x.units(
  unit_uid text PRIMARY KEY,
  id bigint NOT NULL,
  site text,
  inserted_by name NOT NULL,
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
CREATE INDEX units_site_station_started ON qz670x.units(site, station, started);
-- a number is held by one unit company-wide (a site's ranges are its own); a number a failed
-- unit released is taken again by the next
CREATE UNIQUE INDEX units_serial_held ON qz670x.units(serial)
  WHERE serial IS NOT NULL AND NOT serial_released;

-- Replication writes with session_replication_role = replica, where these triggers sleep; any
-- other write, the owner's included, is refused.
CREATE FUNCTION qz670x.units_replicated_only() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the head office''s units come only from the sites'' replication (%)', TG_OP
    USING ERRCODE = 'insufficient_privilege';
END $$;
CREATE TRIGGER units_replicated_only BEFORE INSERT OR UPDATE OR DELETE ON qz670x.units
  FOR EACH STATEMENT EXECUTE FUNCTION qz670x.units_replicated_only();
CREATE TRIGGER units_replicated_only_truncate BEFORE TRUNCATE ON qz670x.units
  FOR EACH STATEMENT EXECUTE FUNCTION qz670x.units_replicated_only();

-- Dashboards: a line's views, per site.
CREATE VIEW qz670x.yield_per_station_hour AS
  SELECT site, station, date_trunc('hour', started AT TIME ZONE 'UTC') AS hour_utc,
         count(*) AS units,
         count(*) FILTER (WHERE exit_code = 0) AS passed,
         count(*) FILTER (WHERE ended IS NOT NULL AND exit_code <> 0) AS failed,
         count(*) FILTER (WHERE ended IS NULL) AS unfinished,
         round(100.0 * count(*) FILTER (WHERE exit_code = 0) / count(*), 1) AS yield_percent
  FROM qz670x.units GROUP BY 1, 2, 3;
CREATE VIEW qz670x.failures_by_outcome AS
  SELECT site, exit_code, message, count(*) AS units, min(started) AS first,
         max(started) AS last
  FROM qz670x.units WHERE ended IS NOT NULL AND exit_code <> 0
  GROUP BY site, exit_code, message;
CREATE VIEW qz670x.units_unfinished AS
  SELECT site, id, station, port, serial, started, now() - started AS unfinished_for
  FROM qz670x.units WHERE ended IS NULL;

DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    GRANT USAGE ON SCHEMA qz670x TO qz670x_report;
    GRANT SELECT ON ALL TABLES IN SCHEMA qz670x TO qz670x_report;
  END IF;
END $$;
)sql",
};

}  // namespace

std::span<const char* const> HeadOfficeMigrations() { return kHeadOfficeMigrations; }

}  // namespace qz::prodlog::postgres
