// The station reports of a SQLite production log (table station_state, schema 7). A report
// comes every few seconds: its statements are prepared at each call rather than kept.
#include <sqlite3.h>

#include "prodlog/store_internal.h"

namespace qz::prodlog {
namespace {

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

std::string TextOf(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(
                                           sqlite3_column_bytes(statement, column)));
}

}  // namespace

int WriteStationState(sqlite3* db, const StationState& state) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(
      db,
      "INSERT OR REPLACE INTO station_state(station, host, version, job_name, job_revision,"
      " job_key, image_path, image_sha256, ports, backlog, last_push, reported, ended)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
      -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    const std::string texts[] = {state.station,     state.host,         state.version,
                                 state.job.name,    state.job.revision, state.job.key,
                                 state.image_path,  state.image_sha256, PortsJson(state.ports)};
    int index = 1;
    for (const std::string& text : texts) BindText(statement, index++, text);
    if (state.backlog) sqlite3_bind_int64(statement, 10, *state.backlog);
    BindText(statement, 11, state.last_push);
    BindText(statement, 12, state.reported);
    sqlite3_bind_int(statement, 13, state.ended ? 1 : 0);
    rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  sqlite3_finalize(statement);
  return rc;
}

int ReadStationStates(sqlite3* db, std::vector<StationState>* states) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(
      db,
      "SELECT station, host, version, job_name, job_revision, job_key, image_path,"
      " image_sha256, ports, backlog, last_push, reported, ended FROM station_state"
      " ORDER BY station",
      -1, &statement, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
    rc = SQLITE_OK;
    StationState state;
    state.station = TextOf(statement, 0);
    state.host = TextOf(statement, 1);
    state.version = TextOf(statement, 2);
    state.job = {TextOf(statement, 3), TextOf(statement, 4), {}, TextOf(statement, 5)};
    state.image_path = TextOf(statement, 6);
    state.image_sha256 = TextOf(statement, 7);
    state.ports = PortsOfJson(TextOf(statement, 8));
    if (sqlite3_column_type(statement, 9) != SQLITE_NULL) {
      state.backlog = sqlite3_column_int(statement, 9);
    }
    state.last_push = TextOf(statement, 10);
    state.reported = TextOf(statement, 11);
    state.ended = sqlite3_column_int(statement, 12) != 0;
    states->push_back(std::move(state));
  }
  if (rc == SQLITE_DONE) rc = SQLITE_OK;
  sqlite3_finalize(statement);
  return rc;
}

}  // namespace qz::prodlog
