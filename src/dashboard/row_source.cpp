#include "dashboard/row_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "prodlog/log_summary.h"

namespace qz::dashboard {
namespace {

// How far before the newest start an incremental read begins: stations' clocks differ a little,
// and a unit's row is begun before its serial number's neighbours may be.
constexpr double kOverlapS = 3600.0;
// Units running longer than this are left to the full reads (a crash leaves a row unfinished
// for good; it must not pin every read to its start).
constexpr double kRunningWatchS = 86400.0;

bool SameRow(const prodlog::UnitRecord& a, const prodlog::UnitRecord& b) {
  return a.finished == b.finished && a.ended == b.ended && a.exit_code == b.exit_code &&
         a.message == b.message && a.serial == b.serial &&
         a.serial_released == b.serial_released && a.replug == b.replug;
}

bool SameStates(const std::vector<prodlog::StationState>& a,
                const std::vector<prodlog::StationState>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.station == y.station && x.reported == y.reported && x.ended == y.ended &&
           x.backlog == y.backlog && x.last_push == y.last_push;
  });
}

}  // namespace

RowSource::RowSource(Opener open, std::unique_ptr<prodlog::ProductionLog> log)
    : open_(std::move(open)), log_(std::move(log)) {}

std::string RowSource::Since(double now) const {
  if (!read_once_ || newest_started_.empty()) return {};
  const double newest = std::min(prodlog::SecondsOf(newest_started_).value_or(0.0), now);
  double since = newest - kOverlapS;
  for (const auto& [id, started] : running_) {
    const double begun = prodlog::SecondsOf(started).value_or(since);
    if (begun > newest - kRunningWatchS) since = std::min(since, begun);
  }
  return since > 0.0 ? prodlog::UtcIso8601(since) : std::string();
}

void RowSource::Note(const prodlog::UnitRecord& row) {
  if (row.started > newest_started_) newest_started_ = row.started;
  if (row.finished) {
    running_.erase(row.unit_id);
  } else {
    running_[row.unit_id] = row.started;
  }
}

RowSource::Fetched RowSource::Fetch(bool full, double now) {
  Fetched fetched;
  prodlog::LogError error;
  if (!log_) log_ = open_(&error);
  if (!log_) {
    fetched.error = error.message.empty() ? "the production log cannot be opened" : error.message;
    return fetched;
  }
  const std::string since = full ? std::string() : Since(now);
  fetched.full = since.empty();
  std::optional<std::vector<prodlog::UnitRecord>> rows = log_->Rows({since, {}, {}}, &error);
  std::optional<std::vector<prodlog::StationState>> states;
  if (rows) states = log_->StationStates(&error);
  if (!rows || !states) {
    fetched.error = error.message;
    log_.reset();
    return fetched;
  }
  fetched.rows = std::move(*rows);
  fetched.states = std::move(*states);
  return fetched;
}

bool RowSource::Merge(Fetched fetched) {
  const std::string before = error_;
  if (!fetched.error.empty()) {
    error_ = std::move(fetched.error);
    return error_ != before;
  }
  error_.clear();
  bool changed = before != error_ || !read_once_;
  read_once_ = true;
  if (!SameStates(fetched.states, states_)) {
    states_ = std::move(fetched.states);
    changed = true;
  }
  std::vector<prodlog::UnitRecord>* rows = &fetched.rows;
  if (fetched.full) {
    bool different = rows->size() != rows_.size();
    for (std::size_t i = 0; !different && i < rows->size(); ++i) {
      different = (*rows)[i].unit_id != rows_[i].unit_id || !SameRow((*rows)[i], rows_[i]);
    }
    if (different) {
      rows_ = std::move(*rows);
      index_.clear();
      running_.clear();
      newest_started_.clear();
      for (std::size_t i = 0; i < rows_.size(); ++i) {
        index_[rows_[i].unit_id] = i;
        Note(rows_[i]);
      }
    }
    return changed || different;
  }
  for (prodlog::UnitRecord& row : *rows) {
    const auto found = index_.find(row.unit_id);
    if (found == index_.end()) {
      Note(row);
      index_[row.unit_id] = rows_.size();
      rows_.push_back(std::move(row));
      changed = true;
    } else if (!SameRow(rows_[found->second], row)) {
      Note(row);
      rows_[found->second] = std::move(row);
      changed = true;
    }
  }
  return changed;
}

}  // namespace qz::dashboard
