#pragma once

// Delivers the results outbox (prodlog/result_outbox.h) to its targets: after every unit and in
// the background, each target with a capped exponential backoff while it cannot take results,
// so a unit's pacing never waits for the factory's system. Every attempt is recorded: a result
// is delivered at least once (a retry after a lost answer may deliver it again, under the same
// key), refused ones are kept with their reason and not tried again, and what is still waiting
// when the station ends is delivered by the next start with the same targets.

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "prodlog/result_outbox.h"
#include "results/result_sender.h"

namespace qz::results {

// What the operator sees of the results beside the line's backlog.
struct ResultsState {
  int waiting = 0;      // results not delivered yet (any target)
  int refused = 0;      // refused for good, ever, in this file
  std::string problem;  // why the last attempt failed; "" once one got through
  bool operator==(const ResultsState&) const = default;
};

// "results delivered", "results: 3 waiting (http://mes/r: HTTP 503)", "results: 1 refused".
[[nodiscard]] std::string ResultsStateText(const ResultsState& state);

class ResultDelivery {
 public:
  struct Options {
    Clock::Duration retry_first = std::chrono::seconds(1);
    Clock::Duration retry_max = std::chrono::seconds(60);
    int batch = 64;  // entries read at once
  };
  // `clock` is not owned and outlives this.
  ResultDelivery(std::unique_ptr<prodlog::ResultOutbox> outbox,
                 std::vector<std::unique_ptr<ResultSender>> senders, Clock& clock,
                 Options options);
  ResultDelivery(std::unique_ptr<prodlog::ResultOutbox> outbox,
                 std::vector<std::unique_ptr<ResultSender>> senders, Clock& clock)
      : ResultDelivery(std::move(outbox), std::move(senders), clock, Options{}) {}
  ~ResultDelivery();  // stops the background thread (an attempt under way ends first)
  ResultDelivery(const ResultDelivery&) = delete;
  ResultDelivery& operator=(const ResultDelivery&) = delete;

  // Called (from the delivering thread) whenever the state changes. Set before Start.
  void SetListener(std::function<void(const ResultsState&)> listener);
  // Delivers on a thread of its own from now on.
  void Start();
  // A unit finished: its results wait (targets that back off still wait their turn).
  void Wake();
  // One round: every waiting result of a target that is due is tried once, in order; a target
  // that cannot take one waits before its next. Returns how many of this run's targets' results
  // still wait (-1 when the outbox cannot be read).
  int Round();
  // Stops the background thread and delivers until nothing waits or `budget` on the clock is
  // spent (the targets' backoff kept). True when nothing waits.
  bool Flush(Clock::Duration budget);
  [[nodiscard]] ResultsState State() const;

 private:
  struct Backoff {
    Clock::Duration due{0};    // not tried before this
    Clock::Duration delay{0};  // the next wait; 0 after a delivery
  };
  void Loop();
  void Stop();
  void Publish(ResultsState state);
  [[nodiscard]] Clock::Duration EarliestDue() const;

  std::unique_ptr<prodlog::ResultOutbox> outbox_;
  std::map<std::string, std::unique_ptr<ResultSender>> senders_;  // by target
  Clock& clock_;
  const Options options_;
  std::map<std::string, Backoff> backoff_;  // by target; the delivering thread's own
  std::function<void(const ResultsState&)> listener_;

  mutable std::mutex mutex_;  // the fields below
  std::condition_variable wake_;
  bool woken_ = false;
  bool stopping_ = false;
  ResultsState state_;
  bool published_ = false;
  std::thread thread_;
};

}  // namespace qz::results
