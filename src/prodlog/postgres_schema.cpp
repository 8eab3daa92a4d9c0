// The line database's schema: its versions, and bringing a database up to the one this program
// writes.
#include <iterator>
#include <optional>
#include <span>
#include <string>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog::postgres {
namespace {

// Schema versions, kept in qz670x.schema_version:
//   v1  units, serial counters, released and held numbers; finished rows guarded by a trigger,
//       a station completes only the rows it inserted (row-level security); dashboard views
//   v2  serial numbers leased to stations in blocks, and the record of those returned
//   v3  numbers move only through the functions below, which run as the schema's owner: a
//       lease holder belongs to the login that first used it, a counter only moves forward, a
//       unit takes only a number leased to its login's holder; the line's identity and site,
//       the site's ranges of serial numbers, and each unit's site
//   v4  lists of serial numbers the owner imports, leased in blocks as a counter's numbers are
//       (counted by their place in the list under the key 'list:' || name); numbers from the
//       factory's program, claimed by a station before its unit starts and held by one unit
//       line-wide, never released
//   v5  each station's latest state report, one row per station, written only through
//       station_report: a station's row belongs to the login that first wrote it
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
    // v3
    R"sql(
-- The line: an identity made here (a station's journal remembers the line it met first), and
-- the site code, set once by the owner with qz670x.set_site.
CREATE TABLE qz670x.line(single boolean PRIMARY KEY DEFAULT true CHECK (single),
  id uuid NOT NULL DEFAULT gen_random_uuid(), site text);
INSERT INTO qz670x.line DEFAULT VALUES;
CREATE FUNCTION qz670x.line_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP = 'DELETE' OR NEW.id <> OLD.id OR OLD.site IS DISTINCT FROM NEW.site
     AND OLD.site IS NOT NULL THEN
    RAISE EXCEPTION 'the line''s identity and site code are set once (site %)', OLD.site
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER line_guard BEFORE UPDATE OR DELETE ON qz670x.line
  FOR EACH ROW EXECUTE FUNCTION qz670x.line_guard();
CREATE FUNCTION qz670x.set_site(code text) RETURNS void LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF code IS NULL OR code !~ '^[A-Za-z0-9_-]{1,32}$' THEN
    RAISE EXCEPTION 'a site code is 1 to 32 letters, digits, - or _ (not "%")', code
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  UPDATE qz670x.line SET site = code WHERE site IS NULL;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'this line''s site code is set already (%)',
      (SELECT site FROM qz670x.line) USING ERRCODE = 'insufficient_privilege';
  END IF;
END $$;

-- A site's ranges: with a site code set, a format is leased only inside its range here (the
-- company gives each site ranges that do not overlap; a site that has used its range up stops).
CREATE TABLE qz670x.site_ranges(format text PRIMARY KEY,
  first bigint NOT NULL, last bigint NOT NULL, CHECK (0 <= first AND first <= last));

ALTER TABLE qz670x.units ADD COLUMN site text;
-- a unit's site is the server's, never changed (the rest of a row as units_guard says)
CREATE FUNCTION qz670x.units_site_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.site IS DISTINCT FROM OLD.site THEN
    RAISE EXCEPTION 'the site of unit % cannot be changed', OLD.id
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER units_site_guard BEFORE UPDATE ON qz670x.units
  FOR EACH ROW EXECUTE FUNCTION qz670x.units_site_guard();

-- A counter only moves forward, whoever writes it.
CREATE FUNCTION qz670x.counter_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP = 'DELETE' OR NEW.format <> OLD.format OR NEW.next < OLD.next THEN
    RAISE EXCEPTION 'the serial counter of "%" only moves forward', OLD.format
      USING ERRCODE = 'insufficient_privilege';
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER counter_guard BEFORE UPDATE OR DELETE ON qz670x.serial_counters
  FOR EACH ROW EXECUTE FUNCTION qz670x.counter_guard();

-- Each lease holder (a station's journal or open log) belongs to the login that first used it;
-- holders of leases made before this version belong to none until a login uses them.
CREATE TABLE qz670x.lease_holders(holder text PRIMARY KEY, login name,
  since timestamptz NOT NULL DEFAULT now());
INSERT INTO qz670x.lease_holders(holder) SELECT DISTINCT holder FROM qz670x.serial_leases;
ALTER TABLE qz670x.serial_leases ADD FOREIGN KEY (holder)
  REFERENCES qz670x.lease_holders(holder);

CREATE FUNCTION qz670x.own_holder(p_holder text) RETURNS void LANGUAGE plpgsql
  SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF p_holder IS NULL OR p_holder = '' THEN
    RAISE EXCEPTION 'a lease holder id is required' USING ERRCODE = 'invalid_parameter_value';
  END IF;
  IF EXISTS (SELECT 1 FROM qz670x.lease_holders
             WHERE holder = p_holder AND login = session_user) THEN
    RETURN;
  END IF;
  INSERT INTO qz670x.lease_holders AS h(holder, login) VALUES(p_holder, session_user)
    ON CONFLICT (holder) DO UPDATE SET login = session_user WHERE h.login IS NULL;
  IF NOT EXISTS (SELECT 1 FROM qz670x.lease_holders
                 WHERE holder = p_holder AND login = session_user) THEN
    RAISE EXCEPTION 'lease holder % belongs to another login than %', p_holder, session_user
      USING ERRCODE = 'insufficient_privilege';
  END IF;
END $$;

-- Up to p_count numbers of p_format from p_floor on for p_holder: the lowest released ones
-- first, then the counter; none beyond the '#' run (SQLSTATE QZ001, the message being the
-- counter's next number) nor, at a site, outside its range (QZ002).
CREATE FUNCTION qz670x.lease(p_format text, p_floor bigint, p_count integer, p_station text,
  p_holder text) RETURNS SETOF bigint LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  digits integer := length(substring(p_format from '#+'));
  largest bigint;
  site_code text;
  range_first bigint;
  range_last bigint;
  numbers bigint[];
  more integer;
  first_new bigint;
BEGIN
  IF p_format IS NULL OR p_format !~ '^[^#]*#+[^#]*$' THEN
    RAISE EXCEPTION 'serial format "%" has not exactly one run of #', p_format
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  IF p_count IS NULL OR p_count < 1 OR p_count > 100000 THEN
    RAISE EXCEPTION 'a lease is of 1 to 100000 numbers, not %', p_count
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  IF p_floor IS NULL OR p_floor < 0 OR p_station IS NULL THEN
    RAISE EXCEPTION 'a lease starts at a number of 0 or more (not %) for a named station',
      p_floor USING ERRCODE = 'invalid_parameter_value';
  END IF;
  PERFORM qz670x.own_holder(p_holder);
  largest := CASE WHEN digits >= 19 THEN 9223372036854775807
                  ELSE (10::numeric ^ digits - 1)::bigint END;
  SELECT site INTO site_code FROM qz670x.line;
  IF site_code IS NOT NULL THEN
    SELECT first, last INTO range_first, range_last FROM qz670x.site_ranges
      WHERE format = p_format;
    IF NOT FOUND THEN
      RAISE EXCEPTION 'site % has no range of serial numbers for "%" (the owner adds one to '
        'qz670x.site_ranges)', site_code, p_format USING ERRCODE = 'QZ002';
    END IF;
    p_floor := GREATEST(p_floor, range_first);
    largest := LEAST(largest, range_last);
  END IF;
  WITH taken AS (DELETE FROM qz670x.serials_released WHERE format = p_format AND number IN
      (SELECT number FROM qz670x.serials_released WHERE format = p_format
         AND number BETWEEN p_floor AND largest ORDER BY number LIMIT p_count
         FOR UPDATE SKIP LOCKED) RETURNING number)
    SELECT coalesce(array_agg(number ORDER BY number), '{}') INTO numbers FROM taken;
  more := p_count - cardinality(numbers);
  IF more > 0 AND p_floor <= largest THEN
    INSERT INTO qz670x.serial_counters AS c(format, next) VALUES(p_format, p_floor + more)
      ON CONFLICT (format) DO UPDATE SET next = GREATEST(c.next, p_floor) + more
      RETURNING next - more INTO first_new;
    IF first_new <= largest THEN
      numbers := numbers || ARRAY(SELECT generate_series(first_new,
                                                         LEAST(first_new + more - 1, largest)));
    END IF;
  END IF;
  IF cardinality(numbers) = 0 THEN
    IF site_code IS NOT NULL AND range_last < (10::numeric ^ digits - 1) THEN
      RAISE EXCEPTION 'site %''s range of serial numbers for "%" (% to %) is used up',
        site_code, p_format, range_first, range_last USING ERRCODE = 'QZ002';
    END IF;
    RAISE EXCEPTION '%', coalesce(first_new, p_floor) USING ERRCODE = 'QZ001';
  END IF;
  INSERT INTO qz670x.serial_leases(format, number, station, holder)
    SELECT p_format, unnest(numbers), p_station, p_holder;
  RETURN QUERY SELECT unnest(numbers);
END $$;

-- Returns every number still leased to p_holder to the line's pool, recorded as returned.
CREATE FUNCTION qz670x.lease_return(p_holder text) RETURNS void LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM qz670x.own_holder(p_holder);
  WITH returned AS (DELETE FROM qz670x.serial_leases WHERE holder = p_holder
      RETURNING format, number, station),
    pooled AS (INSERT INTO qz670x.serials_released(format, number)
      SELECT format, number FROM returned ON CONFLICT DO NOTHING)
  INSERT INTO qz670x.serial_returns(format, number, station)
    SELECT format, number, station FROM returned;
END $$;

-- A unit's row as the calling login's, at this line's site; with a number, only one leased to
-- p_holder, which the unit then holds. A unit already recorded (its id) is not recorded again.
CREATE FUNCTION qz670x.unit_start(p_uid text, p_started timestamptz, p_station text,
  p_port text, p_image_path text, p_image_sha256 text, p_mode text, p_write_length integer,
  p_overrides text, p_format text, p_number bigint, p_job_name text, p_job_revision text,
  p_job_sha256 text, p_job_key text, p_holder text) RETURNS bigint LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  unit bigint;
  serial_text text;
BEGIN
  SELECT id INTO unit FROM qz670x.units WHERE unit_uid = p_uid AND inserted_by = session_user;
  IF FOUND THEN
    RETURN unit;
  END IF;
  IF p_number IS NOT NULL OR p_format IS NOT NULL THEN
    PERFORM qz670x.own_holder(p_holder);
    DELETE FROM qz670x.serial_leases
      WHERE format = p_format AND number = p_number AND holder = p_holder;
    IF NOT FOUND THEN
      RAISE EXCEPTION 'serial number % of "%" is not leased to this station', p_number, p_format
        USING ERRCODE = 'QZ003';
    END IF;
    serial_text := regexp_replace(p_format, '#+',
                                  lpad(p_number::text, length(substring(p_format from '#+')),
                                       '0'));
  END IF;
  INSERT INTO qz670x.units(unit_uid, inserted_by, started, station, port, image_path,
    image_sha256, mode, write_length, overrides, serial, serial_format, serial_number,
    job_name, job_revision, job_sha256, job_key, site)
  VALUES(p_uid, session_user, p_started, p_station, p_port, p_image_path, p_image_sha256,
    p_mode, p_write_length, p_overrides, serial_text, p_format, p_number, p_job_name,
    p_job_revision, p_job_sha256, p_job_key, (SELECT site FROM qz670x.line))
  RETURNING id INTO unit;
  IF serial_text IS NOT NULL THEN
    INSERT INTO qz670x.serials_held(serial, unit_id) VALUES(serial_text, unit);
  END IF;
  RETURN unit;
END $$;

-- The end of one of the calling login's unfinished units; a number whose EEPROM stayed
-- untouched goes back to p_holder's lease. No row when there is no such unit.
CREATE FUNCTION qz670x.unit_end(p_id bigint, p_ended timestamptz, p_exit_code integer,
  p_message text, p_duration_ms bigint, p_transfers bigint, p_chip_status integer,
  p_chip_identity bigint, p_touched boolean, p_replug text, p_holder text)
  RETURNS TABLE(released boolean, serial_format text, serial_number bigint) LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
DECLARE
  unit record;
BEGIN
  UPDATE qz670x.units SET ended = p_ended, exit_code = p_exit_code, message = p_message,
    duration_ms = p_duration_ms, transfers = p_transfers, chip_status = p_chip_status,
    chip_identity = p_chip_identity, eeprom_touched = p_touched,
    serial_released = (serial IS NOT NULL AND NOT p_touched), replug = p_replug
  WHERE id = p_id AND ended IS NULL AND inserted_by = session_user
  RETURNING id, serial, serial_format, serial_number, serial_released, station INTO unit;
  IF NOT FOUND THEN
    RETURN;
  END IF;
  IF unit.serial_released THEN
    PERFORM qz670x.own_holder(p_holder);
    DELETE FROM qz670x.serials_held WHERE serial = unit.serial AND unit_id = unit.id;
    INSERT INTO qz670x.serial_leases(format, number, station, holder)
      VALUES(unit.serial_format, unit.serial_number, unit.station, p_holder)
      ON CONFLICT DO NOTHING;
  END IF;
  RETURN QUERY SELECT unit.serial_released, unit.serial_format, unit.serial_number;
END $$;

-- Only through the functions: stations read the units and the line, and call the four.
REVOKE ALL ON FUNCTION qz670x.set_site(text), qz670x.own_holder(text),
  qz670x.lease(text, bigint, integer, text, text), qz670x.lease_return(text),
  qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text, text, bigint,
                    text, text, text, text, text),
  qz670x.unit_end(bigint, timestamptz, integer, text, bigint, bigint, integer, bigint, boolean,
                  text, text) FROM PUBLIC;
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_station') THEN
    REVOKE INSERT, UPDATE, DELETE, TRUNCATE ON ALL TABLES IN SCHEMA qz670x FROM qz670x_station;
    REVOKE ALL ON qz670x.serial_counters, qz670x.serials_released, qz670x.serials_held,
      qz670x.serial_leases, qz670x.serial_returns FROM qz670x_station;
    GRANT SELECT ON qz670x.line TO qz670x_station;
    GRANT EXECUTE ON FUNCTION qz670x.lease(text, bigint, integer, text, text),
      qz670x.lease_return(text),
      qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text, text,
                        bigint, text, text, text, text, text),
      qz670x.unit_end(bigint, timestamptz, integer, text, bigint, bigint, integer, bigint,
                      boolean, text, text) TO qz670x_station;
  END IF;
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    GRANT SELECT ON qz670x.line, qz670x.site_ranges, qz670x.lease_holders TO qz670x_report;
  END IF;
END $$;
)sql",
    // v4
    R"sql(
-- A list of serial numbers, imported once by the owner (qz670x.import_serials) and never
-- changed: its numbers in file order, each in one list only. Its numbers are counted by their
-- place (from 0) under the key 'list:' || name: leased, taken, released and returned as a
-- counter's are (serial_counters, serial_leases, serials_released, serials_held).
CREATE TABLE qz670x.serial_lists(name text NOT NULL CHECK (name ~ '^[A-Za-z0-9_.-]{1,64}$'),
  position bigint NOT NULL CHECK (position >= 0), serial text NOT NULL UNIQUE,
  PRIMARY KEY(name, position));
CREATE FUNCTION qz670x.serial_lists_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'an imported serial list is never changed (list "%")', OLD.name
    USING ERRCODE = 'insufficient_privilege';
END $$;
CREATE TRIGGER serial_lists_guard BEFORE UPDATE OR DELETE ON qz670x.serial_lists
  FOR EACH ROW EXECUTE FUNCTION qz670x.serial_lists_guard();

-- Numbers of the factory's program a station claimed for a unit about to start: the claim
-- becomes the unit's hold at its start, or goes with its holder's returned leases.
CREATE TABLE qz670x.program_claims(serial text PRIMARY KEY,
  holder text NOT NULL REFERENCES qz670x.lease_holders(holder),
  claimed_at timestamptz NOT NULL DEFAULT now());
-- a program's number (a serial without a format) belongs to one unit line-wide
CREATE UNIQUE INDEX units_program_serial ON qz670x.units(serial)
  WHERE serial IS NOT NULL AND serial_format IS NULL;
-- and is never released, whatever the unit's end says
CREATE FUNCTION qz670x.program_serial_kept() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.serial_format IS NULL THEN
    NEW.serial_released := false;
  END IF;
  RETURN NEW;
END $$;
CREATE TRIGGER program_serial_kept BEFORE UPDATE ON qz670x.units
  FOR EACH ROW EXECUTE FUNCTION qz670x.program_serial_kept();

-- The owner's import of a whole list (the file checked by the program first): refused for a
-- name imported already, and for numbers already in a list or used by a unit (the first few
-- named). Returns how many numbers it holds.
CREATE FUNCTION qz670x.import_serials(p_name text, p_serials text[]) RETURNS bigint
  LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  found_count bigint;
  clash text;
BEGIN
  IF p_name IS NULL OR p_name !~ '^[A-Za-z0-9_.-]{1,64}$' THEN
    RAISE EXCEPTION 'a serial list''s name is 1 to 64 letters, digits, ., - or _ (not "%")',
      p_name USING ERRCODE = 'invalid_parameter_value';
  END IF;
  IF coalesce(cardinality(p_serials), 0) = 0 THEN
    RAISE EXCEPTION 'the serial list "%" holds no number', p_name
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  PERFORM pg_advisory_xact_lock(6706701);
  SELECT count(*) INTO found_count FROM qz670x.serial_lists WHERE name = p_name;
  IF found_count > 0 THEN
    RAISE EXCEPTION 'the serial list "%" is imported already (% numbers); a list is imported '
      'once: give new numbers a list of another name', p_name, found_count USING ERRCODE = 'QZ006';
  END IF;
  SELECT string_agg(s, ', ') INTO clash FROM (SELECT l.serial || ' (list ' || l.name || ')' AS s
    FROM qz670x.serial_lists l WHERE l.serial = ANY(p_serials) ORDER BY l.name, l.position
    LIMIT 5) f;
  IF clash IS NOT NULL THEN
    RAISE EXCEPTION 'numbers already imported: %', clash USING ERRCODE = 'QZ006';
  END IF;
  SELECT string_agg(s, ', ') INTO clash FROM (SELECT u.serial || ' (unit ' || u.id || ')' AS s
    FROM qz670x.units u WHERE u.serial = ANY(p_serials) ORDER BY u.id LIMIT 5) f;
  IF clash IS NOT NULL THEN
    RAISE EXCEPTION 'numbers already used: %', clash USING ERRCODE = 'QZ006';
  END IF;
  INSERT INTO qz670x.serial_lists(name, position, serial)
    SELECT p_name, o - 1, s FROM unnest(p_serials) WITH ORDINALITY AS t(s, o);
  RETURN cardinality(p_serials);
END $$;

-- Up to p_count numbers of the list p_name for p_holder, each with its place: the lowest
-- released ones first, then the next in file order; none left is SQLSTATE QZ004.
CREATE FUNCTION qz670x.lease_list(p_name text, p_count integer, p_station text, p_holder text)
  RETURNS TABLE(place bigint, serial text) LANGUAGE plpgsql SECURITY DEFINER
  SET search_path = pg_catalog, pg_temp AS $$
#variable_conflict use_column
DECLARE
  list_key text := 'list:' || p_name;
  size bigint;
  numbers bigint[];
  more integer;
  first_new bigint;
BEGIN
  IF p_count IS NULL OR p_count < 1 OR p_count > 100000 OR p_station IS NULL THEN
    RAISE EXCEPTION 'a lease is of 1 to 100000 numbers (not %) for a named station', p_count
      USING ERRCODE = 'invalid_parameter_value';
  END IF;
  PERFORM qz670x.own_holder(p_holder);
  SELECT count(*) INTO size FROM qz670x.serial_lists l WHERE l.name = p_name;
  IF size = 0 THEN
    RAISE EXCEPTION 'there is no serial list "%" in this line database (the owner imports it '
      'with log --import-serials FILE --serial-list-name %)', p_name, p_name
      USING ERRCODE = 'QZ005';
  END IF;
  WITH taken AS (DELETE FROM qz670x.serials_released r WHERE r.format = list_key AND r.number IN
      (SELECT r2.number FROM qz670x.serials_released r2 WHERE r2.format = list_key
         ORDER BY r2.number LIMIT p_count FOR UPDATE SKIP LOCKED) RETURNING r.number)
    SELECT coalesce(array_agg(number ORDER BY number), '{}') INTO numbers FROM taken;
  more := p_count - cardinality(numbers);
  IF more > 0 THEN
    INSERT INTO qz670x.serial_counters AS c(format, next) VALUES(list_key, more)
      ON CONFLICT (format) DO UPDATE SET next = c.next + more
      RETURNING c.next - more INTO first_new;
    IF first_new < size THEN
      numbers := numbers || ARRAY(SELECT generate_series(first_new,
                                                         LEAST(first_new + more - 1, size - 1)));
    END IF;
  END IF;
  IF cardinality(numbers) = 0 THEN
    RAISE EXCEPTION 'the serial list "%" is used up (all % numbers were handed out); no further '
      'unit starts.', p_name, size USING ERRCODE = 'QZ004';
  END IF;
  INSERT INTO qz670x.serial_leases(format, number, station, holder)
    SELECT list_key, unnest(numbers), p_station, p_holder;
  RETURN QUERY SELECT l.position, l.serial FROM qz670x.serial_lists l
    WHERE l.name = p_name AND l.position = ANY(numbers) ORDER BY l.position;
END $$;

-- A number of the factory's program for p_holder's next unit: refused (QZ007) when a unit
-- holds it, a list holds it, or another holder claimed it.
CREATE FUNCTION qz670x.claim_program_serial(p_serial text, p_holder text) RETURNS void
  LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM qz670x.own_holder(p_holder);
  IF p_serial IS NULL OR p_serial = '' THEN
    RAISE EXCEPTION 'a serial number is required' USING ERRCODE = 'invalid_parameter_value';
  END IF;
  IF EXISTS (SELECT 1 FROM qz670x.serials_held WHERE serial = p_serial)
     OR EXISTS (SELECT 1 FROM qz670x.serial_lists WHERE serial = p_serial) THEN
    RAISE EXCEPTION 'the serial number % is held already in the line', p_serial
      USING ERRCODE = 'QZ007';
  END IF;
  INSERT INTO qz670x.program_claims(serial, holder) VALUES(p_serial, p_holder)
    ON CONFLICT (serial) DO NOTHING;
  IF NOT EXISTS (SELECT 1 FROM qz670x.program_claims
                 WHERE serial = p_serial AND holder = p_holder) THEN
    RAISE EXCEPTION 'the serial number % is claimed by another station''s unit', p_serial
      USING ERRCODE = 'QZ007';
  END IF;
END $$;

-- As before, and the holder's claims of program numbers that no unit took go too.
CREATE OR REPLACE FUNCTION qz670x.lease_return(p_holder text) RETURNS void LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM qz670x.own_holder(p_holder);
  DELETE FROM qz670x.program_claims WHERE holder = p_holder;
  WITH returned AS (DELETE FROM qz670x.serial_leases WHERE holder = p_holder
      RETURNING format, number, station),
    pooled AS (INSERT INTO qz670x.serials_released(format, number)
      SELECT format, number FROM returned ON CONFLICT DO NOTHING)
  INSERT INTO qz670x.serial_returns(format, number, station)
    SELECT format, number, station FROM returned;
END $$;

-- A unit's start takes a number of a list as one of a counter (p_format 'list:' || name, its
-- place as p_number), or the program's number p_serial claimed by p_holder (or by none) and
-- held by no unit: then the row has no format and the number is held for good.
DROP FUNCTION qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text,
                                text, bigint, text, text, text, text, text);
CREATE FUNCTION qz670x.unit_start(p_uid text, p_started timestamptz, p_station text,
  p_port text, p_image_path text, p_image_sha256 text, p_mode text, p_write_length integer,
  p_overrides text, p_format text, p_number bigint, p_job_name text, p_job_revision text,
  p_job_sha256 text, p_job_key text, p_holder text, p_serial text) RETURNS bigint
  LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  unit bigint;
  serial_text text;
BEGIN
  SELECT id INTO unit FROM qz670x.units WHERE unit_uid = p_uid AND inserted_by = session_user;
  IF FOUND THEN
    RETURN unit;
  END IF;
  IF p_number IS NOT NULL OR p_format IS NOT NULL THEN
    PERFORM qz670x.own_holder(p_holder);
    DELETE FROM qz670x.serial_leases
      WHERE format = p_format AND number = p_number AND holder = p_holder;
    IF NOT FOUND THEN
      RAISE EXCEPTION 'serial number % of "%" is not leased to this station', p_number, p_format
        USING ERRCODE = 'QZ003';
    END IF;
    IF starts_with(p_format, 'list:') THEN
      SELECT serial INTO serial_text FROM qz670x.serial_lists
        WHERE name = substr(p_format, 6) AND position = p_number;
    ELSE
      serial_text := regexp_replace(p_format, '#+',
                                    lpad(p_number::text, length(substring(p_format from '#+')),
                                         '0'));
    END IF;
  ELSIF p_serial IS NOT NULL THEN
    PERFORM qz670x.own_holder(p_holder);
    DELETE FROM qz670x.program_claims WHERE serial = p_serial AND holder = p_holder;
    IF NOT FOUND AND EXISTS (SELECT 1 FROM qz670x.program_claims WHERE serial = p_serial)
       OR EXISTS (SELECT 1 FROM qz670x.serials_held WHERE serial = p_serial)
       OR EXISTS (SELECT 1 FROM qz670x.serial_lists WHERE serial = p_serial) THEN
      RAISE EXCEPTION 'the serial number % is held already in the line', p_serial
        USING ERRCODE = 'QZ007';
    END IF;
    serial_text := p_serial;
  END IF;
  INSERT INTO qz670x.units(unit_uid, inserted_by, started, station, port, image_path,
    image_sha256, mode, write_length, overrides, serial, serial_format, serial_number,
    job_name, job_revision, job_sha256, job_key, site)
  VALUES(p_uid, session_user, p_started, p_station, p_port, p_image_path, p_image_sha256,
    p_mode, p_write_length, p_overrides, serial_text, p_format, p_number, p_job_name,
    p_job_revision, p_job_sha256, p_job_key, (SELECT site FROM qz670x.line))
  RETURNING id INTO unit;
  IF serial_text IS NOT NULL THEN
    INSERT INTO qz670x.serials_held(serial, unit_id) VALUES(serial_text, unit);
  END IF;
  RETURN unit;
END $$;

REVOKE ALL ON FUNCTION qz670x.import_serials(text, text[]),
  qz670x.lease_list(text, integer, text, text), qz670x.claim_program_serial(text, text),
  qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text, text, bigint,
                    text, text, text, text, text, text) FROM PUBLIC;
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_station') THEN
    REVOKE ALL ON qz670x.serial_lists, qz670x.program_claims FROM qz670x_station;
    GRANT EXECUTE ON FUNCTION qz670x.lease_list(text, integer, text, text),
      qz670x.claim_program_serial(text, text),
      qz670x.unit_start(text, timestamptz, text, text, text, text, text, integer, text, text,
                        bigint, text, text, text, text, text, text) TO qz670x_station;
  END IF;
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    GRANT SELECT ON qz670x.serial_lists, qz670x.program_claims TO qz670x_report;
  END IF;
END $$;
)sql",
    // v5
    R"sql(
CREATE TABLE qz670x.station_state(
  station text PRIMARY KEY,
  login name NOT NULL,
  holder text NOT NULL REFERENCES qz670x.lease_holders(holder),
  host text NOT NULL, version text NOT NULL,
  job_name text NOT NULL, job_revision text NOT NULL, job_key text NOT NULL,
  image_path text NOT NULL, image_sha256 text NOT NULL,
  ports text NOT NULL, backlog integer, last_push timestamptz,
  reported timestamptz NOT NULL, ended boolean NOT NULL,
  received timestamptz NOT NULL DEFAULT now());

-- A station's report replaces its earlier one; a station's row belongs to the login that wrote
-- it first, and p_holder must be that login's.
CREATE FUNCTION qz670x.station_report(p_holder text, p_station text, p_host text,
  p_version text, p_job_name text, p_job_revision text, p_job_key text, p_image_path text,
  p_image_sha256 text, p_ports text, p_backlog integer, p_last_push timestamptz,
  p_reported timestamptz, p_ended boolean) RETURNS void LANGUAGE plpgsql
  SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM qz670x.own_holder(p_holder);
  INSERT INTO qz670x.station_state AS s(station, login, holder, host, version, job_name,
    job_revision, job_key, image_path, image_sha256, ports, backlog, last_push, reported,
    ended, received)
  VALUES(p_station, session_user, p_holder, p_host, p_version, p_job_name, p_job_revision,
    p_job_key, p_image_path, p_image_sha256, p_ports, p_backlog, p_last_push, p_reported,
    p_ended, now())
  ON CONFLICT (station) DO UPDATE SET holder = EXCLUDED.holder, host = EXCLUDED.host,
    version = EXCLUDED.version, job_name = EXCLUDED.job_name,
    job_revision = EXCLUDED.job_revision, job_key = EXCLUDED.job_key,
    image_path = EXCLUDED.image_path, image_sha256 = EXCLUDED.image_sha256,
    ports = EXCLUDED.ports, backlog = EXCLUDED.backlog, last_push = EXCLUDED.last_push,
    reported = EXCLUDED.reported, ended = EXCLUDED.ended, received = now()
  WHERE s.login = session_user;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'station % reports as another login than %', p_station, session_user
      USING ERRCODE = 'insufficient_privilege';
  END IF;
END $$;

REVOKE ALL ON FUNCTION qz670x.station_report(text, text, text, text, text, text, text, text,
  text, text, integer, timestamptz, timestamptz, boolean) FROM PUBLIC;
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_station') THEN
    REVOKE ALL ON qz670x.station_state FROM qz670x_station;
    GRANT EXECUTE ON FUNCTION qz670x.station_report(text, text, text, text, text, text, text,
      text, text, text, integer, timestamptz, timestamptz, boolean) TO qz670x_station;
  END IF;
  IF EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'qz670x_report') THEN
    GRANT SELECT ON qz670x.station_state TO qz670x_report;
  END IF;
END $$;
)sql",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

// What a database's schema says of it: its kind and version; version 0 for one that holds no
// production log yet.
struct Found {
  SchemaKind kind = SchemaKind::kLine;
  int version = 0;
};

// Reads the schema's kind and version: nullopt and *error for a database that is not ours.
std::optional<Found> ReadSchema(pq::Connection& connection, const std::string& where,
                                LogError* error) {
  const pq::Result result = connection.Exec(
      "SELECT to_regclass('qz670x.schema_version') IS NOT NULL,"
      " EXISTS(SELECT 1 FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
      "  WHERE c.relkind IN ('r', 'p', 'v', 'm') AND n.nspname NOT IN"
      "  ('pg_catalog', 'information_schema') AND n.nspname NOT LIKE 'pg\\_toast%'),"
      " to_regclass('qz670x.schema_kind') IS NOT NULL");
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
    return Found{};
  }
  const pq::Result version = connection.Exec("SELECT max(version) FROM qz670x.schema_version");
  if (!version.Ok() || version.Rows() != 1 || version.IsNull(0, 0)) {
    *error = LogError{LogError::Kind::kIo, "Line database " + where +
                                               ": it is not a qz670x-mp production log (no "
                                               "schema version)"};
    return std::nullopt;
  }
  return Found{result.Text(0, 2) == "t" ? SchemaKind::kHeadOffice : SchemaKind::kLine,
               static_cast<int>(version.Int(0, 0))};
}

std::span<const char* const> MigrationsOf(SchemaKind kind) {
  return kind == SchemaKind::kHeadOffice ? HeadOfficeMigrations() : Migrations();
}

// Refuses the other kind's schema: a line's migrations on a head office, or the reverse.
bool SameKind(const Found& found, SchemaKind wanted, const std::string& where, LogError* error) {
  if (found.version == 0 || found.kind == wanted) return true;
  *error = LogError{
      LogError::Kind::kIo,
      "Line database " + where +
          (found.kind == SchemaKind::kHeadOffice
               ? ": it is a head office's record of the sites' units, not a line database "
                 "(stations log to their site's line; its owner upgrades its schema with "
                 "--upgrade-schema --head-office)"
               : ": it is a line database, not a head office's (its owner upgrades its schema "
                 "with --upgrade-schema alone)")};
  return false;
}

bool Migrate(pq::Connection& connection, const std::string& where, SchemaKind kind,
             LogError* error) {
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
  const std::optional<Found> found = ReadSchema(connection, where, error);
  if (!found || !SameKind(*found, kind, where, error)) {
    (void)connection.Exec("ROLLBACK");
    return false;
  }
  int version = found->version;
  if (version == 0) {
    result = connection.Exec(
        "CREATE SCHEMA IF NOT EXISTS qz670x;"
        "CREATE TABLE qz670x.schema_version(version integer NOT NULL);"
        "INSERT INTO qz670x.schema_version VALUES(0)");
    if (!result.Ok()) return failed(result);
  }
  const std::span<const char* const> migrations = MigrationsOf(kind);
  const int latest = static_cast<int>(migrations.size());
  for (; version < latest; ++version) {
    result = connection.Exec(migrations[static_cast<std::size_t>(version)]);
    if (!result.Ok()) return failed(result);
  }
  result = connection.Exec(
      ("UPDATE qz670x.schema_version SET version = " + std::to_string(latest)).c_str());
  if (!result.Ok()) return failed(result);
  result = connection.Exec("COMMIT");
  if (!result.Ok()) return failed(result);
  return true;
}

}  // namespace

std::span<const char* const> Migrations() { return kMigrations; }

std::optional<Schema> BringSchemaUpToDate(pq::Connection& connection, const std::string& where,
                                          const LogOptions& options, LogError* error) {
  const std::optional<Found> found = ReadSchema(connection, where, error);
  if (!found) return std::nullopt;
  // a reader takes either kind; a writer the kind it asked for (stations: a line)
  const SchemaKind kind = options.read_only ? found->kind
                          : options.head_office ? SchemaKind::kHeadOffice
                                                : SchemaKind::kLine;
  if (!options.read_only && !SameKind(*found, kind, where, error)) return std::nullopt;
  const int latest = static_cast<int>(MigrationsOf(kind).size());
  if (found->version > latest) {
    *error = LogError{LogError::Kind::kIo,
                      "Line database " + where +
                          ": it was written by a newer version of this program (schema " +
                          std::to_string(found->version) + ", this program knows " +
                          std::to_string(latest) + ")"};
    return std::nullopt;
  }
  if (found->version < latest) {
    if (options.read_only) {
      if (found->version == 0) {
        *error = LogError{LogError::Kind::kIo,
                          "Line database " + where + ": it holds no production log yet"};
        return std::nullopt;
      }
    } else if (!Migrate(connection, where, kind, error)) {
      return std::nullopt;
    } else {
      return Schema{kind, latest};
    }
  }
  return Schema{kind, found->version};
}

}  // namespace qz::prodlog::postgres
