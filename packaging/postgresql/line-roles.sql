-- Roles of a qz670x-mp line database. Run as the database's owner, in the line database, after
-- the schema exists (`qz670x-mp-cli log --log URI --upgrade-schema` as the owner), and again
-- after each schema upgrade:
--     psql "postgresql://owner@db.example/line" -f line-roles.sql
--
-- qz670x_station  reads the units and the line; writes nothing itself. It starts and ends its
--                 units and leases, takes and returns serial numbers only by calling the
--                 schema's functions qz670x.lease, qz670x.lease_list,
--                 qz670x.claim_program_serial, qz670x.unit_start, qz670x.unit_end and
--                 qz670x.lease_return, which run as the owner and check every call: a lease
--                 holder belongs to the login that first used it, a unit takes only a number
--                 leased to its login's holder, a login ends only its own unfinished units, a
--                 counter only moves forward, a site leases only inside its ranges. The trigger
--                 qz670x.units_guard (a finished row is never changed, no row is deleted, of an
--                 unfinished row only its end is written) holds for the owner too.
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
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA qz670x FROM PUBLIC;
GRANT USAGE ON SCHEMA qz670x TO qz670x_station, qz670x_report;

-- stations: only through the functions
REVOKE ALL ON ALL TABLES IN SCHEMA qz670x FROM qz670x_station;
REVOKE ALL ON ALL SEQUENCES IN SCHEMA qz670x FROM qz670x_station;
GRANT SELECT ON qz670x.schema_version, qz670x.line, qz670x.units TO qz670x_station;
GRANT EXECUTE ON FUNCTION
  qz670x.lease(text, bigint, integer, text, text),
  qz670x.lease_list(text, integer, text, text),
  qz670x.claim_program_serial(text, text),
  qz670x.lease_return(text),
  qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text, text, bigint,
                    text, text, text, text, text, text),
  qz670x.unit_end(bigint, timestamptz, integer, text, bigint, bigint, integer, bigint, boolean,
                  text, text),
  qz670x.station_report(text, text, text, text, text, text, text, text, text, text, integer,
                        timestamptz, timestamptz, boolean)
  TO qz670x_station;

-- reports and dashboards
GRANT SELECT ON ALL TABLES IN SCHEMA qz670x TO qz670x_report;
