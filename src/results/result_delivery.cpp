#include "results/result_delivery.h"

#include <algorithm>
#include <utility>

#include "results/unit_json.h"

namespace qz::results {
namespace {

// How often a waiting background thread looks at the clock, which may be virtual.
constexpr std::chrono::milliseconds kLook{100};

std::string Body(const prodlog::OutboxEntry& entry) {
  nlohmann::json row = UnitJson(entry.unit);
  row["unit_uid"] = entry.key;
  return row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string ResultsStateText(const ResultsState& state) {
  if (state.waiting == 0 && state.refused == 0) return "results delivered";
  std::string text = "results:";
  if (state.waiting > 0) text.append(" ").append(std::to_string(state.waiting)).append(" waiting");
  if (state.waiting > 0 && state.refused > 0) text += ",";
  if (state.refused > 0) text.append(" ").append(std::to_string(state.refused)).append(" refused");
  if (!state.problem.empty()) text.append(" (").append(state.problem).append(")");
  return text;
}

ResultDelivery::ResultDelivery(std::unique_ptr<prodlog::ResultOutbox> outbox,
                               std::vector<std::unique_ptr<ResultSender>> senders, Clock& clock,
                               Options options)
    : outbox_(std::move(outbox)), clock_(clock), options_(options) {
  for (std::unique_ptr<ResultSender>& sender : senders) {
    const std::string target = sender->Target();
    senders_.emplace(target, std::move(sender));
  }
}

ResultDelivery::~ResultDelivery() { Stop(); }

void ResultDelivery::SetListener(std::function<void(const ResultsState&)> listener) {
  listener_ = std::move(listener);
}

void ResultDelivery::Start() { thread_ = std::thread([this] { Loop(); }); }

void ResultDelivery::Wake() {
  {
    const std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

void ResultDelivery::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ResultDelivery::Loop() {
  for (;;) {
    (void)Round();
    std::unique_lock lock(mutex_);
    // until a unit finishes or a target is due again, looking at the clock now and then
    while (!woken_ && !stopping_ && clock_.Now() < EarliestDue()) {
      wake_.wait_for(lock, kLook);
    }
    if (stopping_) return;
    woken_ = false;
  }
}

Clock::Duration ResultDelivery::EarliestDue() const {
  Clock::Duration earliest = Clock::Duration::max();
  for (const auto& [target, backoff] : backoff_) {
    if (backoff.delay.count() > 0) earliest = std::min(earliest, backoff.due);
  }
  return earliest;
}

int ResultDelivery::Round() {
  ResultsState state = State();
  int left = 0;
  std::int64_t after = 0;
  for (;;) {
    prodlog::LogError error;
    const std::optional<std::vector<prodlog::OutboxEntry>> entries =
        outbox_->Waiting(after, options_.batch, &error);
    if (!entries) {
      state.problem = error.message;
      Publish(state);
      return -1;
    }
    for (const prodlog::OutboxEntry& entry : *entries) {
      after = entry.id;
      const auto sender = senders_.find(entry.target);
      if (sender == senders_.end()) continue;  // another run's target: it waits for that run
      Backoff& backoff = backoff_[entry.target];
      if (clock_.Now() < backoff.due) {
        ++left;
        continue;
      }
      const SendAnswer answer = sender->second->Send(entry.key, Body(entry));
      using Kind = SendAnswer::Kind;
      const prodlog::ResultOutbox::State outcome =
          answer.kind == Kind::kDelivered  ? prodlog::ResultOutbox::State::kDelivered
          : answer.kind == Kind::kRefused ? prodlog::ResultOutbox::State::kRefused
                                          : prodlog::ResultOutbox::State::kWaiting;
      if (!outbox_->Record(entry.id, outcome, answer.reason, &error)) {
        state.problem = error.message;
        ++left;
        continue;
      }
      if (answer.kind == Kind::kRetry) {
        backoff.delay = backoff.delay.count() == 0
                            ? options_.retry_first
                            : std::min(backoff.delay * 2, options_.retry_max);
        backoff.due = clock_.Now() + backoff.delay;
        state.problem = answer.reason;
        ++left;
        continue;
      }
      backoff.delay = Clock::Duration(0);
      if (answer.kind == Kind::kRefused) {
        state.problem = "unit " + std::to_string(entry.unit.unit_id) + " refused: " + answer.reason;
      } else if (state.problem.rfind("unit ", 0) != 0) {
        state.problem.clear();  // a refusal stays shown until the next one replaces it
      }
    }
    if (static_cast<int>(entries->size()) < options_.batch) break;
  }
  prodlog::LogError error;
  if (const std::optional<prodlog::OutboxCounts> counts = outbox_->Counts(&error)) {
    state.waiting = counts->waiting;
    state.refused = counts->refused;
  }
  Publish(state);
  return left;
}

bool ResultDelivery::Flush(Clock::Duration budget) {
  Stop();
  const Clock::Duration end = clock_.Now() + budget;
  for (;;) {
    if (Round() == 0) return true;
    const Clock::Duration now = clock_.Now();
    const Clock::Duration due = EarliestDue();
    if (now >= end || due > end) return false;
    clock_.SleepFor(std::max(due - now, Clock::Duration(std::chrono::milliseconds(1))));
  }
}

ResultsState ResultDelivery::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

void ResultDelivery::Publish(ResultsState state) {
  {
    const std::lock_guard lock(mutex_);
    if (published_ && state == state_) return;
    state_ = state;
    published_ = true;
  }
  if (listener_) listener_(state);
}

}  // namespace qz::results
