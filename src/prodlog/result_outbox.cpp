#include "prodlog/result_outbox.h"

#include <sqlite3.h>

#include <utility>

#include "prodlog/sqlite_statement.h"

namespace qz::prodlog {

struct ResultOutbox::Impl {
  std::string file;
  sqlite3* db = nullptr;
  std::mutex mutex;  // one statement sequence at a time on the connection
  Statement waiting, record, counts;

  ~Impl() { sqlite3_close_v2(db); }

  LogError Error(const char* doing) const {
    return LogError{LogError::Kind::kIo, "Results outbox \"" + file + "\": " + doing + ": " +
                                             (db != nullptr ? sqlite3_errmsg(db) : "no memory")};
  }
};

ResultOutbox::ResultOutbox(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ResultOutbox::~ResultOutbox() = default;

std::unique_ptr<ResultOutbox> ResultOutbox::Open(const std::string& file, LogError* error,
                                                 int busy_timeout_ms) {
  auto impl = std::make_unique<Impl>();
  impl->file = file;
  if (sqlite3_open_v2(file.c_str(), &impl->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = impl->Error("opening");
    return nullptr;
  }
  sqlite3_busy_timeout(impl->db, busy_timeout_ms);
  // a delivery's record lost to a power cut only means that result goes again, under its key:
  // no disk wait per delivery
  sqlite3_exec(impl->db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
  const std::string waiting_sql =
      std::string("SELECT ") + kRecordColumns +
      ", entry, target, key, attempts FROM (SELECT id AS entry, unit_id, target, key, attempts"
      " FROM results WHERE state = 'waiting' AND id > ?1 ORDER BY id LIMIT ?2)"
      " JOIN units ON units.id = unit_id ORDER BY entry";
  const std::pair<Statement*, const char*> statements[] = {
      {&impl->waiting, waiting_sql.c_str()},
      {&impl->record,
       "UPDATE results SET state = ?2, reason = ?3, at = ?4, attempts = attempts + 1"
       " WHERE id = ?1"},
      {&impl->counts,
       "SELECT (SELECT count(*) FROM results WHERE state = 'waiting'),"
       " (SELECT count(*) FROM results WHERE state = 'refused')"},
  };
  for (const auto& [statement, sql] : statements) {
    if (statement->Prepare(impl->db, sql) != SQLITE_OK) {
      *error = impl->Error("preparing statements");
      return nullptr;
    }
  }
  return std::unique_ptr<ResultOutbox>(new ResultOutbox(std::move(impl)));
}

std::optional<std::vector<OutboxEntry>> ResultOutbox::Waiting(std::int64_t after, int limit,
                                                              LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  const Statement& rows = impl.waiting;
  rows.Bind(1, after);
  rows.Bind(2, std::int64_t{limit});
  std::vector<OutboxEntry> entries;
  int rc = SQLITE_OK;
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    OutboxEntry entry;
    entry.unit = ReadRecord(rows);
    entry.id = rows.Int(25);
    entry.target = rows.Text(26);
    entry.key = rows.Text(27);
    entry.attempts = static_cast<int>(rows.Int(28));
    entries.push_back(std::move(entry));
  }
  rows.Reset();
  if (rc != SQLITE_DONE) return *error = impl.Error("reading the waiting results"), std::nullopt;
  return entries;
}

bool ResultOutbox::Record(std::int64_t id, State state, const std::string& reason,
                          LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  const Statement& record = impl.record;
  record.Bind(1, id);
  record.Bind(2, std::string(state == State::kWaiting     ? "waiting"
                             : state == State::kDelivered ? "delivered"
                                                          : "refused"));
  record.Bind(3, reason);
  record.Bind(4, NowUtcIso8601());
  const int rc = sqlite3_step(record.get());
  record.Reset();
  if (rc != SQLITE_DONE) return *error = impl.Error("recording a delivery"), false;
  return true;
}

std::optional<OutboxCounts> ResultOutbox::Counts(LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  OutboxCounts counts;
  const int rc = sqlite3_step(impl.counts.get());
  if (rc == SQLITE_ROW) {
    counts.waiting = static_cast<int>(impl.counts.Int(0));
    counts.refused = static_cast<int>(impl.counts.Int(1));
  }
  impl.counts.Reset();
  if (rc != SQLITE_ROW) return *error = impl.Error("counting the results"), std::nullopt;
  return counts;
}

}  // namespace qz::prodlog
