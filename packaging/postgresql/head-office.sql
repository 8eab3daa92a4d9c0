-- Roles of the head office's database: one read-only record of the units of every site, filled
-- by PostgreSQL's logical replication from each site's line database. Run as the database's
-- owner, after the schema exists, and again after each schema upgrade:
--     qz670x-mp-cli log --upgrade-schema --head-office --log 'postgresql://qz670x_owner@db.hq.example/office'
--     psql "postgresql://qz670x_owner@db.hq.example/office" -f head-office.sql
--
-- qz670x_report  reads the units of every site and the dashboard views (with the site), as on a
--                line: `qz670x-mp-cli log --log URI --summary --by site`, the dashboard.
-- No role writes the units: only the subscriptions do (their writes run with
-- session_replication_role = replica, past the trigger that refuses every other write).
--
-- Then, as a superuser (PostgreSQL 15 lets only a superuser own a subscription; a superuser is
-- never held back by row-level security, which the head office's units do not use either), one
-- subscription per site; the password of qz670x_replicator goes in the postgres account's
-- ~/.pgpass on the head office's server, not in the connection string:
--     CREATE SUBSCRIPTION qz670x_site_sz
--       CONNECTION 'host=db.sz.example dbname=line user=qz670x_replicator sslmode=verify-full
--                   sslrootcert=/etc/postgresql/sz-ca.crt'
--       PUBLICATION qz670x_site;
-- Each subscription copies the site's units first, then follows them as they are written.
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    CREATE ROLE qz670x_report NOLOGIN;
  END IF;
  EXECUTE format('GRANT CONNECT ON DATABASE %I TO qz670x_report', current_database());
END $$;

REVOKE ALL ON ALL TABLES IN SCHEMA qz670x FROM PUBLIC;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA qz670x FROM PUBLIC;
GRANT USAGE ON SCHEMA qz670x TO qz670x_report;
GRANT SELECT ON ALL TABLES IN SCHEMA qz670x TO qz670x_report;
