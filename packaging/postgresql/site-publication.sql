-- A site's line database published to the head office. Run once in the line database, as a
-- superuser (the replication role below needs one), after the schema exists and the site code
-- is set (`SELECT qz670x.set_site('SZ')`):
--     psql "postgresql://postgres@db.sz.example/line" -f site-publication.sql
-- The server needs `wal_level = logical` (a restart) and `max_slot_wal_keep_size` (see the
-- README), and a `hostssl line qz670x_replicator HEAD-OFFICE-ADDRESS/32 scram-sha-256` line in
-- pg_hba.conf. Then give the role a password: \password qz670x_replicator
--
-- What the head office receives: every unit of the site, once it starts and again when it
-- ends, keyed by the unit id its station made (unique company-wide), with the site's code.
-- Serial counters, leases and the site's ranges stay at the site.

-- The head office finds a unit by its station-made id, not by the site's own row number.
ALTER TABLE qz670x.units REPLICA IDENTITY USING INDEX units_unit_uid_key;

-- The columns by name: a column a later version adds to a line's units is published only once
-- the head office has it (add it here with ALTER PUBLICATION ... SET TABLE after the head office
-- is upgraded).
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_publication WHERE pubname = 'qz670x_site') THEN
    CREATE PUBLICATION qz670x_site FOR TABLE qz670x.units(id, unit_uid, site, inserted_by,
      started, ended, station, port, image_path, image_sha256, mode, write_length, overrides,
      serial, serial_format, serial_number, serial_released, exit_code, message, duration_ms,
      transfers, chip_status, chip_identity, eeprom_touched, replug, job_name, job_revision,
      job_sha256, job_key);
  END IF;
END $$;

-- The head office's subscription connects as this role: it reads the units, writes nothing,
-- and row-level security on the units never hides a row from it.
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_replicator') THEN
    CREATE ROLE qz670x_replicator LOGIN REPLICATION BYPASSRLS;
  END IF;
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO qz670x_replicator', current_database());
END $$;
GRANT USAGE ON SCHEMA qz670x TO qz670x_replicator;
GRANT SELECT ON qz670x.units TO qz670x_replicator;
