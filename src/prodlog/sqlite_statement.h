#pragma once

// What the SQLite files' code inside src/prodlog shares: a prepared statement and the reading of
// one unit's row.

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "prodlog/production_log.h"

namespace qz::prodlog {

// One prepared statement, reset after each use.
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(statement_); }

  int Prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
  }
  sqlite3_stmt* get() const { return statement_; }
  void Reset() const {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  void Bind(int index, const std::string& text) const {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  void Bind(int index, std::int64_t value) const { sqlite3_bind_int64(statement_, index, value); }
  void BindNull(int index) const { sqlite3_bind_null(statement_, index); }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(
                                             sqlite3_column_bytes(statement_, column)));
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// One row of the rows statement (or of a statement that starts with the same columns).
inline UnitRecord ReadRecord(const Statement& rows) {
  UnitRecord record;
  record.unit_id = rows.Int(0);
  record.started = rows.Text(1);
  record.finished = !rows.IsNull(2);
  record.ended = rows.Text(2);
  record.station = rows.Text(3);
  record.port = rows.Text(4);
  record.image_path = rows.Text(5);
  record.image_sha256 = rows.Text(6);
  record.mode = rows.Text(7);
  record.write_length = static_cast<std::uint32_t>(rows.Int(8));
  record.overrides_json = rows.Text(9);
  record.serial = rows.Text(10);
  record.serial_released = rows.Int(11) != 0;
  record.exit_code = static_cast<int>(rows.Int(12));
  record.message = rows.Text(13);
  record.duration_ms = rows.Int(14);
  record.transfers = static_cast<std::uint64_t>(rows.Int(15));
  if (!rows.IsNull(16)) record.chip_status = static_cast<std::uint8_t>(rows.Int(16));
  if (!rows.IsNull(17)) record.chip_identity = static_cast<std::uint32_t>(rows.Int(17));
  record.eeprom_touched = rows.Int(18) != 0;
  record.replug = rows.Text(19);
  record.job = {rows.Text(20), rows.Text(21), rows.Text(22), rows.Text(23)};
  record.serial_source = rows.Text(24);
  return record;
}

// The columns ReadRecord reads, in its order, for a table of units named `units`.
inline constexpr const char* kRecordColumns =
    "id, started, ended, station, port, image_path, image_sha256, mode, write_length,"
    " overrides, serial, serial_released, exit_code, message, duration_ms, transfers,"
    " chip_status, chip_identity, eeprom_touched, replug, job_name, job_revision, job_sha256,"
    " job_key, serial_source";

}  // namespace qz::prodlog
