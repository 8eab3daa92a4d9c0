#pragma once

// The dashboard's copy of the store's rows, kept current by polling: each poll reads only the
// rows begun since shortly before the newest one (and since the oldest recent unit still
// running, so its end is seen); a full read now and then catches rows that reached the store
// late, as a journal's after an outage. A store that cannot be read is opened again at the next
// poll; the rows read before stay shown. Each poll reads the stations' state reports too (few:
// one row per station), whole.
//
// A poll is two steps, so that a server reads the store without holding the lock its pages
// wait on: Fetch reads (the store's I/O), Merge takes what was read in. Both on one thread.

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
  bool Poll(bool full, double now = std::numeric_limits<double>::infinity()) {
    return Merge(Fetch(full, now));
  }

  // What one read of the store brought.
  struct Fetched {
    bool full = false;
    std::vector<prodlog::UnitRecord> rows;
    std::vector<prodlog::StationState> states;
    std::string error;  // not empty: the read failed
  };
  // Reads the store: what changed since the last Merge (`full`: everything).
  [[nodiscard]] Fetched Fetch(bool full, double now = std::numeric_limits<double>::infinity());
  // Takes in what Fetch read; true when the rows, the states or the store's state changed.
  bool Merge(Fetched fetched);

  // The rows in the order they were read (mostly by start; late rows come last).
  [[nodiscard]] const std::vector<prodlog::UnitRecord>& Rows() const { return rows_; }
  // Every station's latest report, by name.
  [[nodiscard]] const std::vector<prodlog::StationState>& States() const { return states_; }
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
  std::vector<prodlog::StationState> states_;
  std::unordered_map<std::int64_t, std::size_t> index_;  // unit id -> position in rows_
  std::string newest_started_;                          // the latest start among rows_
  std::unordered_map<std::int64_t, std::string> running_;  // unfinished units: id -> start
  std::string error_;
  bool read_once_ = false;
};

}  // namespace qz::dashboard
