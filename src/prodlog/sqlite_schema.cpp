// The schema of a station's own production log (SQLite), one migration a version.
#include <span>

#include "prodlog/store_internal.h"

namespace qz::prodlog {
namespace {

// Schema versions, kept in PRAGMA user_version:
//   v1  initial schema: units, serial counters, released and held serial numbers
//   v2  indexes for exports by start time and by port
//   v3  the production job of each unit, and how its chip was re-plugged
//   v4  a line station's journal: each unit's station-made id and how much of it the line
//       database has (pushed: 0 nothing, 1 its begin, 2 all), the serial numbers leased from
//       the line, and the journal's lease holder id
//   v5  where each unit's serial number came from: counter, list or program
//   v6  the line database a journal met first (its identity)
//   v7  the text of each number a journal leased from a list of the line
//   v8  each station's latest state report, one row per station
//   v9  the results outbox: one entry per finished unit and result target, written with the
//       unit's end; waiting until delivered or refused, then when and why
// Each entry upgrades from the version before it; append, never edit a released step.
constexpr const char* kMigrations[] = {
    // v1
    "CREATE TABLE units("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  started TEXT NOT NULL, ended TEXT,"
    "  station TEXT NOT NULL, port TEXT NOT NULL,"
    "  image_path TEXT NOT NULL, image_sha256 TEXT NOT NULL,"
    "  mode TEXT NOT NULL, write_length INTEGER NOT NULL,"
    "  overrides TEXT NOT NULL,"
    "  serial TEXT, serial_format TEXT, serial_number INTEGER,"
    "  serial_released INTEGER NOT NULL DEFAULT 0,"
    "  exit_code INTEGER, message TEXT, duration_ms INTEGER, transfers INTEGER,"
    "  chip_status INTEGER, chip_identity INTEGER, eeprom_touched INTEGER);"
    "CREATE TABLE serial_counters(format TEXT PRIMARY KEY, next INTEGER NOT NULL);"
    "CREATE TABLE serials_released(format TEXT NOT NULL, number INTEGER NOT NULL,"
    "  PRIMARY KEY(format, number));"
    "CREATE TABLE serials_held(serial TEXT PRIMARY KEY, unit_id INTEGER NOT NULL);",
    // v2
    "CREATE INDEX units_started ON units(started);"
    "CREATE INDEX units_port ON units(port);",
    // v3
    "ALTER TABLE units ADD COLUMN job_name TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE units ADD COLUMN job_revision TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE units ADD COLUMN job_sha256 TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE units ADD COLUMN job_key TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE units ADD COLUMN replug TEXT NOT NULL DEFAULT '';",
    // v4
    "ALTER TABLE units ADD COLUMN unit_uid TEXT;"
    "ALTER TABLE units ADD COLUMN pushed INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX units_unpushed ON units(id) WHERE unit_uid IS NOT NULL AND pushed < 2;"
    "CREATE TABLE serial_leases(format TEXT NOT NULL, number INTEGER NOT NULL,"
    "  PRIMARY KEY(format, number));"
    "CREATE TABLE journal(holder TEXT NOT NULL);",
    // v5
    "ALTER TABLE units ADD COLUMN serial_source TEXT NOT NULL DEFAULT '';"
    "UPDATE units SET serial_source = 'counter' WHERE serial IS NOT NULL;",
    // v6
    "ALTER TABLE journal ADD COLUMN line TEXT;",
    // v7
    "ALTER TABLE serial_leases ADD COLUMN serial TEXT;",
    // v8
    "CREATE TABLE station_state(station TEXT PRIMARY KEY, host TEXT NOT NULL,"
    "  version TEXT NOT NULL, job_name TEXT NOT NULL, job_revision TEXT NOT NULL,"
    "  job_key TEXT NOT NULL, image_path TEXT NOT NULL, image_sha256 TEXT NOT NULL,"
    "  ports TEXT NOT NULL, backlog INTEGER, last_push TEXT NOT NULL, reported TEXT NOT NULL,"
    "  ended INTEGER NOT NULL);",
    // v9
    "CREATE TABLE results("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  unit_id INTEGER NOT NULL, target TEXT NOT NULL, key TEXT NOT NULL,"
    "  state TEXT NOT NULL DEFAULT 'waiting',"  // waiting, delivered, refused
    "  attempts INTEGER NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '', at TEXT);"
    "CREATE INDEX results_waiting ON results(id) WHERE state = 'waiting';"
    "CREATE INDEX results_refused ON results(id) WHERE state = 'refused';",
};

}  // namespace

std::span<const char* const> SqliteMigrations() { return kMigrations; }

}  // namespace qz::prodlog
