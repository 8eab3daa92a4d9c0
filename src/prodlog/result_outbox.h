#pragma once

// The results outbox: where a station keeps each finished unit's result until the factory's
// system has it. CompleteUnit writes one entry per result target (LogOptions::result_targets)
// in the same transaction as the unit's end, so a crash loses none; the deliverer reads the
// waiting entries through a connection of its own to the same SQLite file (the log's file or a
// line station's journal, ProductionLog::LocalFile) and records each attempt: delivered and
// refused entries keep when and why, and are not tried again.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "prodlog/production_log.h"

namespace qz::prodlog {

// A finished unit's result for one target.
struct OutboxEntry {
  std::int64_t id = 0;
  std::string target;
  std::string key;  // the unit's key: the same in every delivery of its results
  int attempts = 0;
  UnitRecord unit;
};

struct OutboxCounts {
  int waiting = 0;
  int refused = 0;
};

class ResultOutbox {
 public:
  enum class State { kWaiting, kDelivered, kRefused };

  // Opens the outbox of the SQLite file `file` (which a ProductionLog opened already, so its
  // schema is current). nullptr and *error when it cannot be opened.
  [[nodiscard]] static std::unique_ptr<ResultOutbox> Open(const std::string& file,
                                                          LogError* error,
                                                          int busy_timeout_ms = 5000);
  ~ResultOutbox();
  ResultOutbox(const ResultOutbox&) = delete;
  ResultOutbox& operator=(const ResultOutbox&) = delete;

  // Up to `limit` waiting entries after entry `after`, oldest first.
  [[nodiscard]] std::optional<std::vector<OutboxEntry>> Waiting(std::int64_t after, int limit,
                                                                LogError* error);
  // One attempt at entry `id` and how it ended: still waiting (to be tried again), delivered or
  // refused for good; `reason` says why, and the time is now.
  [[nodiscard]] bool Record(std::int64_t id, State state, const std::string& reason,
                            LogError* error);
  [[nodiscard]] std::optional<OutboxCounts> Counts(LogError* error);

 private:
  struct Impl;
  explicit ResultOutbox(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qz::prodlog
