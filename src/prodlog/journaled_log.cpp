// A line database with a local journal in front of it (the rules are in production_log.h).
//
// The station's units are rows of a SQLite journal file (sqlite_store.cpp in its journal
// role), so a unit's start and end never wait on the network. One pusher thread per open log
// sends the journal's rows to the line database (postgres_push_target.cpp) and keeps the
// journal's serial-number lease topped up; only that thread talks to the database.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/file_path.h"
#include "prodlog/journal_lock.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog {

LogError JournalLockUnmade(const std::string& journal) {
  std::error_code ec;
  const std::filesystem::path folder = PathFromUtf8(journal).parent_path();
  const bool no_folder = !folder.empty() && !std::filesystem::is_directory(folder, ec);
  return LogError{LogError::Kind::kIo,
                  "Journal \"" + journal + "\": its lock file cannot be made" +
                      (no_folder ? ": the folder " + PathToUtf8(folder) + " does not exist"
                                 : std::string())};
}

LogError JournalLockHeld(const std::string& journal) {
  return LogError{LogError::Kind::kIo,
                  "Journal \"" + journal +
                      "\": another station process uses it (give each station its own name or "
                      "--journal)"};
}

namespace {

// The first wait after a failed attempt to reach the database; it doubles up to
// LogOptions::push_retry_max_ms.
constexpr std::chrono::milliseconds kFirstRetry{250};
// How many units one transaction pushes (short, so the marks hold up no unit start for long).
constexpr std::size_t kPushBatch = 16;
// How many pusher rounds a unit's start waits for a block while the line answers.
constexpr int kLeaseRounds = 20;

// A journal's units and leased numbers belong to the line database it met first: false and
// *error when `line` is another one.
bool SameLine(SqliteJournal& journal, const LineStore& line, const std::string& journal_path,
              const std::string& where, LogError* error) {
  const std::optional<std::string> first = journal.RememberLine(line.LineId(), error);
  if (!first) return false;
  if (*first == line.LineId()) return true;
  *error = LogError{LogError::Kind::kIo,
                    "Journal \"" + journal_path + "\" belongs to another line database (line " +
                        *first + "; " + where + " is line " + line.LineId() +
                        "): its units and leased serial numbers are that line's. Open it with "
                        "its own line's --log, or give this line a journal of its own "
                        "(--journal)"};
  return false;
}

// What the pusher keeps leased: a format and the lowest number its units ask for, or a list
// of the line; the station.
struct Wanted {
  std::optional<SerialFormat> format;
  std::string list;
  std::int64_t floor = 0;
  std::string station;
};

class JournaledLog final : public ProductionLog {
 public:
  JournaledLog(std::unique_ptr<JournalLock> lock, std::unique_ptr<SqliteJournal> journal,
               std::unique_ptr<LineStore> line, std::string location, std::string where,
               LogOptions options)
      : lock_(std::move(lock)),
        journal_(std::move(journal)),
        line_(std::move(line)),
        location_(std::move(location)),
        path_(std::move(where)),
        options_(std::move(options)) {
    online_ = line_ != nullptr;
  }

  // What the pusher keeps leased: the unit's format, or its list of the line.
  void Want(const UnitStart& start) {
    const std::lock_guard lock(mutex_);
    if (!start.serial_format) {
      wanted_.insert_or_assign("list:" + start.serial_list_name,
                               Wanted{std::nullopt, start.serial_list_name, 0, start.station});
      return;
    }
    const auto floor = static_cast<std::int64_t>(
        std::min<std::uint64_t>(start.serial_start, std::numeric_limits<std::int64_t>::max()));
    wanted_.insert_or_assign(start.serial_format->Text(),
                             Wanted{start.serial_format, "", floor, start.station});
  }

  // Before the pusher starts: the first blocks, so the first unit need not wait for them.
  void LeaseAhead() { (void)Round(); }

  // Before the first unit, with the line in reach: pushes what an earlier run left in the
  // journal. Once the line has every unit this journal began, the numbers still leased to its
  // holder were taken by no unit: they go back to the line's pool, and blocks are leased
  // afresh. (Only here and at the end, when no unit runs, so none can take one meanwhile.)
  bool Recover(LogError* error) {
    if (PushAll() != 0) return *error = last_error_.value_or(LogError{}), false;
    return ReturnLeases(error);
  }

  void Start() { pusher_ = std::thread([this] { PushLoop(); }); }

  ~JournaledLog() override {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (pusher_.joinable()) pusher_.join();
    // the last units and the last report; then the numbers no unit took go back to the line
    LogError ignored;
    if (line_ && PushAll() == 0) {
      PushReport(0);
      (void)ReturnLeases(&ignored);
    }
  }

  [[nodiscard]] const std::string& Path() const override { return path_; }
  [[nodiscard]] std::string LocalFile() const override { return options_.journal; }

  std::optional<BegunUnit> BeginUnit(const UnitStart& start, LogError* error) override {
    LogError ignored;
    if (error == nullptr) error = &ignored;
    if (!LineTakesSerialsOf(start, path_, /*journaled=*/true, error)) return std::nullopt;
    if (start.serial_format || !start.serial_list_name.empty()) Want(start);
    if (!start.serial_given.empty() && !Claim(start.serial_given, error)) return std::nullopt;
    std::optional<BegunUnit> begun = journal_->BeginUnit(start, error);
    if (!begun && error->kind == LogError::Kind::kUnavailable) {
      // none leased (left): the pusher leases a block when it can reach the line
      // (other ports may take the new block first: a few rounds, while the line answers)
      std::optional<LogError> refused;
      bool online = true;
      for (int round = 0; round < kLeaseRounds && online && !refused && !begun; ++round) {
        std::unique_lock lock(mutex_);
        online = online_;
        if (online_) {
          // a top-up that begins after this point
          const std::uint64_t target = topups_ + (topping_up_ ? 2 : 1);
          kicked_ = true;
          wake_.notify_all();
          done_.wait(lock, [&] { return topups_ >= target || stopping_; });
        }
        refused = foreign_line_ ? foreign_line_ : lease_refused_;
        online = online_ || foreign_line_;
        lock.unlock();
        begun = journal_->BeginUnit(start, error);
        if (begun || error->kind != LogError::Kind::kUnavailable) break;
      }
      if (!begun && error->kind == LogError::Kind::kUnavailable) {
        if (refused && refused->kind == LogError::Kind::kSerialExhausted) {
          *error = *refused;
        } else if (!online) {
          *error = LogError{LogError::Kind::kUnavailable,
                            "Line database " + path_ +
                                ": it cannot be reached and no leased serial number is left; "
                                "units start again when it is back"};
        } else if (!refused) {
          *error = LogError{LogError::Kind::kUnavailable,
                            "Line database " + path_ +
                                ": other ports took every serial number leased so far; this one "
                                "starts when the next block comes (a larger --serial-block helps)"};
        } else {
          *error = *refused;  // the database refused the lease: the station stops
        }
      }
    }
    Kick();
    return begun;
  }

  bool CompleteUnit(std::int64_t unit_id, const UnitEnd& end, LogError* error) override {
    const bool done = journal_->CompleteUnit(unit_id, end, error);
    Kick();
    return done;
  }

  // The station's own rows, from its journal (whether or not the line has them yet).
  std::optional<std::vector<UnitRecord>> Rows(const LogFilter& filter, LogError* error) override {
    return journal_->Rows(filter, error);
  }

  // The latest report waits for the pusher, which adds the journal's backlog and last push.
  bool ReportStation(const StationState& state, LogError* error) override {
    (void)error;
    {
      const std::lock_guard lock(mutex_);
      report_ = state;
      report_waiting_ = true;
      kicked_ = true;
    }
    wake_.notify_all();
    return true;
  }

  // The station's own latest report, as this journal holds it.
  std::optional<std::vector<StationState>> StationStates(LogError* error) override {
    (void)error;
    const std::lock_guard lock(mutex_);
    std::vector<StationState> states;
    if (report_) states.push_back(*report_);
    return states;
  }

  void SetLineListener(std::function<void(const LineState&)> listener) override {
    const std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }

  bool Flush() override {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = rounds_ + (round_running_ ? 2 : 1);
    flush_ = true;
    kicked_ = true;
    wake_.notify_all();
    done_.wait(lock, [&] { return rounds_ >= target || stopping_; });
    return state_.pending == 0 && state_.online;
  }

 private:
  void Kick() {
    {
      const std::lock_guard lock(mutex_);
      kicked_ = true;
    }
    wake_.notify_all();
  }

  // A number of the factory's program is claimed in the line before its unit starts, so no two
  // units of the line get it. While the line cannot be reached it is not claimed and its unit
  // does not start: the journal alone cannot know the other stations' numbers, and a number
  // the line refuses later would already be on a chip.
  bool Claim(const std::string& serial, LogError* error) {
    std::unique_lock lock(mutex_);
    if (online_) {
      claims_[serial].reset();
      const std::uint64_t target = topups_ + (topping_up_ ? 2 : 1);
      kicked_ = true;
      wake_.notify_all();
      done_.wait(lock, [&] { return topups_ >= target || stopping_; });
    }
    const auto claim = claims_.find(serial);
    const std::optional<LogError> outcome =
        claim != claims_.end() && claim->second ? claim->second : std::nullopt;
    if (claim != claims_.end()) claims_.erase(claim);
    if (outcome && outcome->message.empty()) return true;  // claimed
    if (outcome) return *error = *outcome, false;
    *error = LogError{LogError::Kind::kUnavailable,
                      "Line database " + path_ +
                          ": it cannot be reached, and a number from the serial program is "
                          "claimed in the line before its unit starts; units start again when "
                          "it is back"};
    return false;
  }

  // Claims the program's numbers units wait for. False when the line did not answer.
  bool ClaimWaiting() {
    std::vector<std::string> waiting;
    {
      const std::lock_guard lock(mutex_);
      for (const auto& [serial, outcome] : claims_) {
        if (!outcome) waiting.push_back(serial);
      }
    }
    for (const std::string& serial : waiting) {
      LogError error;
      const bool claimed = line_->ClaimProgram(serial, journal_->Holder(), &error);
      if (!claimed && error.kind == LogError::Kind::kUnavailable) return last_error_ = error, false;
      const std::lock_guard lock(mutex_);
      claims_[serial] = claimed ? LogError{} : error;
    }
    return true;
  }

  // Pushes every unit the line does not have yet; how many are left (the first failure stops).
  int PushAll() {
    LogError error;
    std::optional<std::vector<JournalUnit>> units = journal_->Unpushed(&error);
    if (!units) return -1;
    int left = static_cast<int>(units->size());
    const std::span<const JournalUnit> all(*units);
    for (std::size_t first = 0; first < all.size(); first += kPushBatch) {
      const std::span<const JournalUnit> batch = all.subspan(first, std::min(kPushBatch, all.size() - first));
      if (!line_->Push(batch, journal_->Holder(), &error)) {
        last_error_ = error;
        return left;
      }
      if (!journal_->MarkPushed(batch, &error)) return left;
      left -= static_cast<int>(batch.size());
    }
    return left;
  }

  // Pushes the latest report when one waits, with `left` units still in the journal. The
  // pusher's thread, or the destructor's after it.
  void PushReport(int left) {
    std::optional<StationState> report;
    {
      const std::lock_guard lock(mutex_);
      if (!report_waiting_ || !report_) return;
      report_->backlog = left;
      report_->last_push = last_push_;
      report = report_;
    }
    LogError error;
    if (!line_->ReportStation(*report, journal_->Holder(), &error)) return;
    const std::lock_guard lock(mutex_);
    if (report_ && report_->reported == report->reported) report_waiting_ = false;
  }

  bool ReturnLeases(LogError* error) {
    return line_->ReturnLeases(journal_->Holder(), error) && journal_->ClearLeases(error);
  }

  // (counted, not read: while the line is away this runs after every unit)
  int Pending() {
    LogError error;
    return journal_->UnpushedCount(&error).value_or(0);
  }

  // One attempt: connect when not connected, push, top the leases up. True when the line
  // answered throughout. *left: the units still to push when the push ran, else unchanged.
  // The pusher's thread, or before it starts.
  bool Round(int* left = nullptr) {
    LogError error;
    if (!line_) {
      line_ = OpenLineStore(location_, &error, options_);
      if (!line_) return last_error_ = error, false;
      if (!SameLine(*journal_, *line_, options_.journal, path_, &error)) {
        line_.reset();
        const std::lock_guard lock(mutex_);
        last_error_ = foreign_line_ = error;
        return false;
      }
    }
    // numbers first: a port may be waiting for one, and the push can wait
    {
      const std::lock_guard lock(mutex_);
      topping_up_ = true;
    }
    const bool answered = ClaimWaiting() && TopUp();
    {
      const std::lock_guard lock(mutex_);
      topping_up_ = false;
      ++topups_;
    }
    done_.notify_all();
    if (!answered) return false;
    const int unpushed = PushAll();
    if (left != nullptr && unpushed >= 0) *left = unpushed;
    if (unpushed == 0) {
      const std::lock_guard lock(mutex_);
      last_push_ = NowUtcIso8601();
    }
    if (unpushed >= 0) PushReport(unpushed);
    return unpushed == 0;
  }

  // Leases a block for every format with less than half a block left. False when the line
  // did not answer.
  bool TopUp() {
    LogError error;
    std::map<std::string, Wanted> wanted;
    {
      const std::lock_guard lock(mutex_);
      wanted = wanted_;
    }
    const std::int64_t block = std::max(options_.serial_block, 1);
    for (const auto& [text, want] : wanted) {
      const std::optional<std::int64_t> left = journal_->LeasesLeft(text, want.floor, &error);
      if (!left) return false;
      if (*left * 2 >= block && *left > 0) continue;
      std::optional<std::vector<std::int64_t>> numbers;
      std::vector<std::string> serials;
      if (want.format) {
        numbers = line_->Lease(*want.format, want.floor, block, want.station, journal_->Holder(),
                               &error);
      } else if (const auto listed = line_->LeaseList(want.list, block, want.station,
                                                      journal_->Holder(), &error)) {
        numbers.emplace();
        for (const auto& [place, serial] : *listed) {
          numbers->push_back(place);
          serials.push_back(serial);
        }
      }
      if (!numbers) {
        last_error_ = error;
        const std::lock_guard lock(mutex_);
        lease_refused_ = error;
        return error.kind != LogError::Kind::kUnavailable;
      }
      // Should this fail, the numbers stay leased to the holder and go back at the next start.
      if (!journal_->AddLeases(text, *numbers, want.format ? nullptr : &serials, &error)) {
        return false;
      }
      const std::lock_guard lock(mutex_);
      lease_refused_.reset();
    }
    return true;
  }

  void PushLoop() {
    std::chrono::milliseconds retry = kFirstRetry;
    auto next_attempt = std::chrono::steady_clock::now();
    bool first = true;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!first) {
        wake_.wait_until(lock, next_attempt, [&] { return stopping_ || kicked_; });
        if (stopping_) break;
      }
      first = false;
      const bool due = std::chrono::steady_clock::now() >= next_attempt;
      kicked_ = false;
      round_running_ = true;
      const bool try_line = online_ || due || flush_;
      flush_ = false;
      lock.unlock();
      bool online = false;
      int pending = -1;
      if (try_line) {
        last_error_.reset();  // this round's, for its why
        online = Round(&pending);
      }
      if (pending < 0) pending = Pending();  // the push did not run: count what waits
      lock.lock();
      if (try_line) {
        online_ = online;
        if (online) {
          retry = kFirstRetry;
          next_attempt = std::chrono::steady_clock::now() + std::chrono::hours(1);
        } else {
          next_attempt = std::chrono::steady_clock::now() + retry;
          retry = std::min(retry * 2, std::chrono::milliseconds(
                                          std::max(options_.push_retry_max_ms, 1)));
        }
      }
      // (a round that did not try keeps the last one's why)
      state_ = LineState{online_, pending, online_ ? "" : try_line ? Why() : state_.why};
      Report(state_);
      round_running_ = false;
      ++rounds_;
      ++topups_;  // a round that could not reach the line ends a wait for numbers too
      done_.notify_all();
    }
    ++rounds_;
    ++topups_;
    done_.notify_all();
  }

  // Why the last round did not reach the line (the pusher's thread).
  [[nodiscard]] std::string Why() const { return last_error_ ? last_error_->message : ""; }

  // Tells the listener when the line goes away or comes back, and while it is away how many
  // units wait. Called with mutex_ held.
  void Report(const LineState& state) {
    const bool changed = state.online != reported_.online ||
                         (!state.online && (state.pending != reported_.pending ||
                                            state.why != reported_.why)) ||
                         (state.online && reported_.pending != 0 && state.pending == 0);
    if (!changed) return;
    reported_ = state;
    if (listener_) listener_(state);
  }

  std::unique_ptr<JournalLock> lock_;
  std::unique_ptr<SqliteJournal> journal_;
  std::unique_ptr<LineStore> line_;  // pusher's thread only, after the constructor
  const std::string location_;
  const std::string path_;
  const LogOptions options_;
  std::optional<LogError> last_error_;

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  bool stopping_ = false, kicked_ = false, flush_ = false, round_running_ = false;
  bool online_ = false;
  std::uint64_t rounds_ = 0;
  std::uint64_t topups_ = 0;  // attempts to top the leases up (or rounds that could not)
  bool topping_up_ = false;
  std::map<std::string, Wanted> wanted_;
  std::optional<LogError> lease_refused_;
  // program numbers to claim: none yet while waiting, then the line's refusal (empty: claimed)
  std::map<std::string, std::optional<LogError>> claims_;
  std::optional<LogError> foreign_line_;  // the line reached at last is not the journal's
  LineState state_, reported_;
  std::function<void(const LineState&)> listener_;
  std::optional<StationState> report_;  // the station's latest report
  bool report_waiting_ = false;         // ... not yet in the line database
  std::string last_push_;               // when the line last took every unit waiting
  std::thread pusher_;
};

}  // namespace

std::unique_ptr<ProductionLog> OpenJournaledLog(const std::string& location, LogError* error,
                                                const LogOptions& options) {
  auto lock = std::make_unique<JournalLock>();
  if (!lock->Take(options.journal, error)) return nullptr;
  std::unique_ptr<SqliteJournal> journal = OpenSqliteJournal(options.journal, error, options);
  if (!journal) return nullptr;
  LogError line_error;
  std::string where;
  std::unique_ptr<LineStore> line = OpenLineStore(location, &line_error, options, &where);
  if (line && !SameLine(*journal, *line, options.journal, where, error)) return nullptr;
  if (!line) {
    if (line_error.kind != LogError::Kind::kUnavailable) return *error = line_error, nullptr;
    // Out of reach: the station goes on with the numbers its journal holds, and without a
    // serial format as long as it needs none.
    const std::optional<std::int64_t> leased = journal->LeasesLeft("", 0, error);
    if (!leased) return nullptr;
    if ((options.serial_format || !options.serial_list_name.empty()) && *leased == 0) {
      *error = LogError{LogError::Kind::kIo, line_error.message +
                                                 " (and the journal \"" + options.journal +
                                                 "\" holds no leased serial number)"};
      return nullptr;
    }
  }
  const bool online = line != nullptr;
  auto log = std::make_unique<JournaledLog>(std::move(lock), std::move(journal), std::move(line),
                                            location, where, options);
  if (online && !log->Recover(error)) return nullptr;
  if (options.serial_format || !options.serial_list_name.empty()) {
    UnitStart units;
    units.serial_format = options.serial_format;
    units.serial_start = options.serial_start;
    units.serial_list_name = options.serial_list_name;
    units.station = options.station;
    log->Want(units);
    // the first block now, not at the first unit (out of reach: the pusher tries again)
    if (online) log->LeaseAhead();
  }
  log->Start();
  return log;
}

}  // namespace qz::prodlog
