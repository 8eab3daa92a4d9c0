-- Roles of a qz670x-mp line database. Run as the database's owner, in the line database, after
-- the schema exists (`qz670x-mp-cli log --log URI --upgrade-schema` as the owner), and again
-- after each schema upgrade:
--     psql "postgresql://owner@db.example/line" -f line-roles.sql
--
-- qz670x_station  inserts units as itself, completes only its own unfinished rows, takes and
--                 returns serial numbers. It never changes a finished row nor deletes one: the
--                 privileges below, row-level security on qz670x.units (a station sees every
--                 row but updates only rows it inserted that have not ended) and the trigger
--                 qz670x.units_guard (a finished row is never changed, no row is deleted, of an
--                 unfinished row only its end is written; it holds for the owner too).
-- qz670x_report   reads the rows and the dashboard views, nothing else.
-- Give each station PC a login role of its own in qz670x_station, e.g.
--     CREATE ROLE station_a LOGIN IN ROLE qz670x_station;   -- password: \password station_a
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_station') THEN
    CREATE ROLE qz670x_station NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    CREATE ROLE qz670x_report NOLOGIN;
  END IF;
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO qz670x_station, qz670x_report',
                 current_database());
END $$;

REVOKE ALL ON ALL TABLES IN SCHEMA qz670x FROM PUBLIC;
GRANT USAGE ON SCHEMA qz670x TO qz670x_station, qz670x_report;

-- stations
GRANT SELECT ON qz670x.schema_version TO qz670x_station;
GRANT SELECT, INSERT ON qz670x.units TO qz670x_station;
GRANT UPDATE (ended, exit_code, message, duration_ms, transfers, chip_status, chip_identity,
              eeprom_touched, serial_released, replug) ON qz670x.units TO qz670x_station;
GRANT USAGE ON SEQUENCE qz670x.units_id_seq TO qz670x_station;
GRANT SELECT, INSERT, UPDATE ON qz670x.serial_counters TO qz670x_station;
GRANT SELECT, INSERT, UPDATE, DELETE ON qz670x.serials_released TO qz670x_station;
GRANT SELECT, INSERT, DELETE ON qz670x.serials_held TO qz670x_station;
GRANT SELECT, INSERT, DELETE ON qz670x.serial_leases TO qz670x_station;
GRANT INSERT ON qz670x.serial_returns TO qz670x_station;

-- reports and dashboards
GRANT SELECT ON ALL TABLES IN SCHEMA qz670x TO qz670x_report;
