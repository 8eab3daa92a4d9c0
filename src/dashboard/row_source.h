#pragma once

// The dashboard's copy of the store's rows, kept current by polling: each poll reads only the
// rows begun since shortly before the newest one (and since the oldest recent unit still
// running, so its end is seen); a full read now and then catches rows that reached the store
// late, as a journal's after an outage. A store that cannot be read is opened again at the next
// poll; the rows read before stay shown.

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "prodlog/production_log.h"

namespace qz::dashboard {

class RowSource {
 public:
  // Opens the store (read-only) again after a failed read; nullptr and *error when it cannot.
  using Opener = std::function<std::unique_ptr<prodlog::ProductionLog>(prodlog::LogError*)>;

  // `log` may be null (then the first poll opens it).
  RowSource(Opener open, std::unique_ptr<prodlog::ProductionLog> log);

  // Reads what changed since the last poll (`full`: everything). True when the rows or the
  // store's state changed. `now` (seconds since the epoch) bounds the read's start, so that a
  // station whose clock runs ahead cannot move it past the others' units.
  bool Poll(bool full, double now = std::numeric_limits<double>::infinity());

  [[nodiscard]] const std::vector<prodlog::UnitRecord>& Rows() const { return rows_; }
  // Why the last read failed; empty when it succeeded.
  [[nodiscard]] const std::string& Error() const { return error_; }

 private:
  // The `since` of an incremental read; empty before the first read.
  [[nodiscard]] std::string Since(double now) const;
  // Takes `row` into newest_started_ and running_.
  void Note(const prodlog::UnitRecord& row);

  Opener open_;
  std::unique_ptr<prodlog::ProductionLog> log_;
  std::vector<prodlog::UnitRecord> rows_;
  std::unordered_map<std::int64_t, std::size_t> index_;  // unit id -> position in rows_
  std::string newest_started_;                          // the latest start among rows_
  std::unordered_map<std::int64_t, std::string> running_;  // unfinished units: id -> start
  std::string error_;
  bool read_once_ = false;
};

}  // namespace qz::dashboard
