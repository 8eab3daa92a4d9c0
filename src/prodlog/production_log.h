#pragma once

// The production log: one row per unit, in one of two stores behind one interface:
//  - a SQLite file (one PC; the default), sqlite_store.cpp;
//  - a PostgreSQL database (a line of station PCs), postgres_store.cpp, or behind the
//    station's journal, journaled_log.cpp.
// ProductionLog::Open (store_factory.cpp) picks the store from the location the user gave (--log): a file path, a
// "postgresql://" / "postgres://" URI, or "service=NAME" (libpq's connection service file).
//
// A unit's row is written when its job starts (BeginUnit) and completed when it ends
// (CompleteUnit), so a crash or a pulled cable leaves a row that reads "unfinished".
//
// Serial numbers are allocated inside the same transaction that writes the row, so no two units
// ever get the same serial text, across restarts and across station processes that share one
// store. The rules, the same in both stores:
//  - the next number of a format is the lowest released number >= the requested start, else
//    the format's counter (never below the requested start); the counter only grows;
//  - a number stays held by its unit for good when the unit's EEPROM was touched, and also when
//    its row was never completed (a crash: the chip's state is unknown);
//  - a number whose unit ended before anything was written to its EEPROM (eeprom_touched false)
//    is released and handed to the next unit that asks for one; the old row keeps the text and
//    reads "released";
//  - a number that would outgrow the format's '#' run is never handed out: BeginUnit fails with
//    LogError::Kind::kSerialExhausted and writes no row.
// In a line database the numbers are leased to each open log in blocks (LogOptions::
// serial_block): one transaction takes the lowest released numbers, then the format's counter,
// and records them as leased to that log; a unit's start then takes the lowest number of its
// log's blocks. A number released by a unit goes back to the same log's blocks. When the log is
// closed, the numbers no unit took are returned to the line's pool and recorded as returned;
// after a crash the numbers leased to the dead log stay leased until its journal proves which
// of them no unit took (below).
//
// A station that writes to a line database (LogOptions::journal set) keeps a local journal in
// front of it: a SQLite production log file of its own, one per station name. BeginUnit and
// CompleteUnit touch only that file; a background pusher sends its rows to the line database,
// each with the id the station made for it (unit_uid), after every unit and with backoff while
// the server cannot be reached, so a retry never records a unit twice. The journal holds the
// blocks leased from the line under the journal's own lease holder id, and a unit takes its
// number from them in the same local transaction that writes its row. After a crash the next
// start with the same journal first pushes every row it holds (a unit that never ended reads
// unfinished and keeps its number), then returns to the line every number still leased to the
// journal's holder: the journal is the proof that no unit took them. Without the journal (lost
// with its PC) those numbers stay leased for good.
// While the line database is out of reach a station goes on with the numbers its journal holds
// (and without a serial format as long as the outage lasts); when none is left, BeginUnit fails
// with LogError::Kind::kUnavailable and succeeds again once the database is back.
//
// Schema: each store keeps a version and upgrades step by step inside one transaction; a store
// written by a newer version is refused, and so is a database that is not a production log.
//
// Thread-safety: one ProductionLog may be shared by the threads of one process (one mutex
// around the connection). Several processes may use the same store.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/serial_numbers.h"

namespace qz::prodlog {

// A failure of the log, with an operator message that names the file.
struct LogError {
  enum class Kind {
    kIo,               // locked, read-only, corrupt, full disk, cannot open: exit 74
    kSerialExhausted,  // the next serial number outgrows the '#' run: stop the station
    kUsage,            // a bad argument (unknown unit, completed twice, bad --since)
    kUnavailable,      // no serial number for now: the line database is out of reach; wait
    kSerialRefused,    // the given serial number is held already: this unit does not start
  };
  Kind kind = Kind::kIo;
  std::string message;
};

// Which production job a unit ran: its name, revision, the job file's SHA-256 (lower-case hex)
// and the id of the key that signed it (empty for an unsigned job).
struct JobStamp {
  std::string name, revision, sha256, key;
};

// What is known when a unit's job starts.
struct UnitStart {
  std::string started;  // UTC ISO 8601 (NowUtcIso8601()); empty: taken at BeginUnit
  std::string station;  // station name (default: the host name)
  std::string port;     // USB port path, e.g. "1-4.2" or "sim-3"
  std::string image_path;
  std::string image_sha256;  // lower-case hex of the origin file
  std::string mode;          // "factory" or "developer"
  std::uint32_t write_length = 0;
  // Descriptor overrides applied, name and value (e.g. {"product", "X"}); the allocated serial
  // is added as {"serial", ...} by BeginUnit.
  std::vector<std::pair<std::string, std::string>> overrides;
  // When set, BeginUnit allocates a serial number of this format, from `serial_start` on.
  std::optional<SerialFormat> serial_format;
  std::uint64_t serial_start = 0;
  // Instead of a format: a list of serial numbers given in advance, counted under the key
  // "list:" + serial_list_name. The list's i-th number is number i of that key, so the rules of
  // counted numbers hold (released ones first, each used once); the end of the list is
  // kSerialExhausted. A SQLite file takes the list itself (serial_list); a line database takes
  // only the name of a list imported into it (ImportSerialList; serial_list null), whose
  // numbers the station's journal leases in blocks as a counter's.
  std::string serial_list_name;
  std::shared_ptr<const std::vector<std::string>> serial_list;
  // Instead of both: the number the factory's program gave for this unit, recorded with the
  // source "program" and held for good (never released, never handed out again); a number
  // already held is kSerialRefused. On a line the station's journal first claims the number
  // in the line database, so no two units of the line get it: while the line cannot be
  // reached such a unit does not start (kUnavailable).
  std::string serial_given;
  // The production job that decided what was written; all empty when the unit ran without one.
  JobStamp job;
};

// What BeginUnit hands back.
struct BegunUnit {
  std::int64_t unit_id = 0;
  std::string serial;  // empty without a serial format
};

// What is known when a unit's job ends.
struct UnitEnd {
  std::string ended;      // UTC ISO 8601; empty: taken at CompleteUnit
  int exit_code = 0;      // the exit status `write` would give for this outcome
  std::string message;    // the exact message of the outcome
  std::int64_t duration_ms = 0;
  std::uint64_t transfers = 0;  // HID command reports exchanged
  std::optional<std::uint8_t> chip_status;
  std::optional<std::uint32_t> chip_identity;
  bool eeprom_touched = false;  // anything was written to (or erased in) the unit's EEPROM
  std::string replug;  // how the chip was re-plugged after its erase: "operator", "power", or ""
};

// One row as exported.
struct UnitRecord {
  std::int64_t unit_id = 0;
  std::string started, ended;  // ended empty: unfinished
  std::string station, port, image_path, image_sha256, mode;
  std::uint32_t write_length = 0;
  std::string overrides_json;  // a JSON object of the overrides applied
  std::string serial;
  bool serial_released = false;
  std::string serial_source;  // "counter", "list", "program"; "" without a serial number
  bool finished = false;
  int exit_code = 0;
  std::string message;
  std::int64_t duration_ms = 0;
  std::uint64_t transfers = 0;
  std::optional<std::uint8_t> chip_status;
  std::optional<std::uint32_t> chip_identity;
  bool eeprom_touched = false;
  std::string replug;
  JobStamp job;
  std::string site;  // a line's site code (a multi-site company's); "" for none
};

// What one port of a station is doing, as its state report says.
struct PortReport {
  std::string port;
  std::string activity;      // "idle", "writing", "replug" (waiting for it), "stopped"
  std::int64_t unit_id = 0;  // writing or waiting for a re-plug: the unit's row; 0 none
  std::string serial;
  int percent = -1;          // writing: its progress; < 0 not known
};

// A station's latest report of itself: one row per station name in the store, replaced at
// every report, so a dashboard sees which stations run, what each port does, and which went
// silent.
struct StationState {
  std::string station, host, version;  // the program's version
  JobStamp job;                        // all empty without a job: then the image
  std::string image_path, image_sha256;
  std::vector<PortReport> ports;
  // A journaled store fills these itself when it pushes the report: the units waiting in the
  // journal and the time of its last push to the line (UTC ISO 8601, empty: none yet).
  std::optional<int> backlog;
  std::string last_push;
  std::string reported;  // UTC ISO 8601
  bool ended = false;    // the station ended cleanly
};

// Which rows an export returns.
struct LogFilter {
  std::string since;  // UTC ISO 8601 prefix ("2026-01-31", "2026-01-31T08:00"); empty: all
  std::string port;   // empty: all
  std::string station;  // empty: all
};

struct LogOptions {
  bool read_only = false;          // for exports: never creates or changes the store
  // PostgreSQL, not read-only: the database is (or becomes) a head office's record of every
  // site's units, upgraded by its owner, rather than a line database. Either kind refuses the
  // other's schema.
  bool head_office = false;
  int busy_timeout_ms = 5000;      // how long to wait for another station's write lock (SQLite)
  // PostgreSQL: how long to wait for the server to answer a connection, for a row lock held by
  // another station, and for one statement, so a hung peer never hangs a station.
  int connect_timeout_s = 10;
  int lock_timeout_ms = 5000;
  int statement_timeout_ms = 15000;
  // PostgreSQL: how many serial numbers a station leases at once. A crash holds at most this
  // many for good; a larger block takes the line's counter less often.
  int serial_block = 16;
  // A line database for writing: the local journal file in front of it (see above); empty: none,
  // every unit goes straight to the database. DefaultJournalPath gives the usual place.
  std::string journal{};
  // With a journal: the serial format the station's units take numbers of (from serial_start
  // on, as `station` names itself in the line). A block is leased as the log opens, so the
  // first unit does not wait for it; an unreachable database at the start is refused unless
  // the journal still holds leased numbers.
  std::optional<SerialFormat> serial_format{};
  std::uint64_t serial_start = 0;
  // Instead of a format: the list imported into the line whose numbers are leased ahead.
  std::string serial_list_name{};
  std::string station{};
  // With a journal: the longest wait between two attempts to reach an unreachable database.
  int push_retry_max_ms = 5000;
  // Where each finished unit's result goes (results/result_target.h names them): CompleteUnit
  // puts one entry per target into the outbox of the file that keeps the unit's row
  // (prodlog/result_outbox.h), in the same transaction as the unit's end.
  std::vector<std::string> result_targets{};
};

// Whether a line database behind a journal can be reached, and how many units wait in the
// journal to be pushed to it.
struct LineState {
  bool online = true;
  int pending = 0;
  // while away: the last attempt's error (a refused login or certificate looks like an outage
  // to the journal, which keeps programming; this tells the operator which it is)
  std::string why;
};

// The error `Rows` gives for a --since that is no UTC time (a date that does not exist included);
// nullopt when `since` is empty or one.
[[nodiscard]] std::optional<LogError> SinceProblem(const std::string& since);

// What the operator is told of it: "line log online", or "line log offline, 12 units waiting".
[[nodiscard]] std::string LineStateText(const LineState& state);
// The same, and while away why: "line log offline, 12 units waiting (Line database ...: cannot
// connect: ...)".
[[nodiscard]] std::string LineStateReport(const LineState& state);

class ProductionLog {
 public:
  // Opens the store at `location` (see above) and brings its schema up to date. nullptr and
  // *error on failure (a file: locked, read-only, not a log or damaged, full disk, directory
  // missing or not writable; a database: unreachable, refused, not ours, too new). Messages name
  // a database by host, port and name, never with a password.
  [[nodiscard]] static std::unique_ptr<ProductionLog> Open(const std::string& location,
                                                           LogError* error,
                                                           const LogOptions& options = {});
  virtual ~ProductionLog() = default;
  ProductionLog(const ProductionLog&) = delete;
  ProductionLog& operator=(const ProductionLog&) = delete;

  // The file path, or the database as "postgresql://host:port/name" (never a password).
  [[nodiscard]] virtual const std::string& Path() const = 0;

  // Writes the unit's row and allocates its serial number in one transaction. nullopt and
  // *error on failure; then no row was written and no number taken.
  [[nodiscard]] virtual std::optional<BegunUnit> BeginUnit(const UnitStart& start,
                                                           LogError* error) = 0;

  // Completes the row of `unit_id` and keeps or releases its serial number (see above).
  // false and *error on failure: the row stays unfinished and its number held.
  [[nodiscard]] virtual bool CompleteUnit(std::int64_t unit_id, const UnitEnd& end,
                                          LogError* error) = 0;

  // Rows in the order they were begun.
  [[nodiscard]] virtual std::optional<std::vector<UnitRecord>> Rows(const LogFilter& filter,
                                                                    LogError* error) = 0;

  // Stores the station's state, replacing its earlier report (the station's name is its key).
  // A journaled line database keeps only the latest report and hands it to its pusher: this
  // never waits on the network. false and *error on failure; a line database refuses a login
  // that writes another login's station.
  [[nodiscard]] virtual bool ReportStation(const StationState& state, LogError* error) = 0;
  // Every station's latest report, by station name; none from a store whose schema predates
  // the reports.
  [[nodiscard]] virtual std::optional<std::vector<StationState>> StationStates(
      LogError* error) = 0;

  // A journaled line database calls `listener` (from its pusher's thread) when the database
  // goes out of reach or comes back, and while it is out of reach whenever the number of units
  // waiting changes. Other stores never call it. Set it before the first unit.
  virtual void SetLineListener(std::function<void(const LineState&)> listener) {
    (void)listener;
  }
  // Pushes what the journal holds now and waits for the outcome; true when nothing is left
  // waiting. Stores without a journal: true.
  [[nodiscard]] virtual bool Flush() { return true; }
  // The SQLite file on this PC that keeps the units' rows (and the results outbox): the log's
  // own file, or a line database's journal. Empty for a line database without one.
  [[nodiscard]] virtual std::string LocalFile() const { return {}; }

 protected:
  ProductionLog() = default;
};

// Imports a list of serial numbers (already checked whole, as serials::ReadSerialList does)
// into the line database at `location` as the list `name`, in one transaction; the number of
// them, or nullopt and *error: kUsage when the database refuses it (the name imported already,
// numbers already in a list or used by a unit, the first few named), else kIo.
[[nodiscard]] std::optional<std::int64_t> ImportSerialList(const std::string& location,
                                                           const std::string& name,
                                                           const std::vector<std::string>& numbers,
                                                           LogError* error);

// True when `location` names a PostgreSQL database rather than a file.
[[nodiscard]] bool IsDatabaseLocation(const std::string& location);

// $XDG_DATA_HOME/qz670x-mp/production.sqlite3, or ~/.local/share/... when XDG_DATA_HOME is
// unset or not absolute; creates the directory. Empty and *error when neither is known or the
// directory cannot be made.
[[nodiscard]] std::string DefaultLogPath(std::string* error);

// $XDG_DATA_HOME/qz670x-mp/journal-STATION.sqlite3 (the station's name with characters other
// than letters, digits, '-', '_' and '.' made '_'), as DefaultLogPath.
[[nodiscard]] std::string DefaultJournalPath(const std::string& station, std::string* error);

// Opens the log a station's units go to, as every front end opens it: `location` as given, or
// the default file when it is empty (then set to the file opened). With a line database the
// units go to a journal first: options.journal, or the station's default journal when that is
// empty. The station's name and serial format come from `units`, so the first block of numbers
// is leased as the log opens.
[[nodiscard]] std::unique_ptr<ProductionLog> OpenUnitLog(std::string& location,
                                                         const UnitStart& units,
                                                         LogOptions options, LogError* error);

// The current time, UTC ISO 8601 with milliseconds: "2026-01-31T08:15:02.123Z".
[[nodiscard]] std::string NowUtcIso8601();
// Seconds since the epoch in the same form ("2026-01-31T08:15:02.250Z").
[[nodiscard]] std::string UtcIso8601(double seconds);

// This machine's name (COMPUTERNAME on Windows), the station's name when none is given; empty
// when it is not known.
[[nodiscard]] std::string HostName();

// A unit's mode as its row gives it: "factory" writes all 32768 bytes, "developer" the first
// 16400.
void SetMode(UnitStart& start, bool factory);

// The SHA-256 of a file as lower-case hex; empty and *error when it cannot be read.
[[nodiscard]] std::string FileSha256Hex(const std::string& path, std::string* error);

}  // namespace qz::prodlog
