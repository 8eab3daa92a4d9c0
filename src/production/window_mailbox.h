#pragma once

// What a station face needs between the station's port threads and its UI thread, the same for
// every front end: a mailbox that the station reports into, never waiting for the face.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"
#include "station/station.h"

namespace qz::production {

// The station's observer for a window of type `Window`: the ports' reports in order, and each
// port's latest progress (a job moves its bar far more often than a screen shows). One wake-up
// of the UI thread at a time carries everything that came meanwhile; the wake-up carries no data,
// everything crosses under the mailbox's lock. `Window` has OnPortState, OnPortProgress,
// OnPortMessage (with the whole message box), OnPowerNote, OnUnitStarted, OnUnitFinished and
// OnStationProblem.
template <class Window>
class WindowMailbox final : public station::StationObserver {
 public:
  // Asks the UI thread to call Drain; runs under the mailbox's lock on any thread and must not
  // block. False when nothing was asked (no window): the next report asks again.
  using Wake = std::function<bool()>;

  // Empty: no window to wake (it has gone).
  void SetWake(Wake wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
  }

  // Every progress report in its place among the others, none dropped (a face that writes each
  // one down), instead of each port's latest one at the end of the drain.
  void KeepEveryProgress(bool every) {
    std::lock_guard lock(mutex_);
    every_progress_ = every;
  }

  void Post(std::function<void(Window&)> report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
    WakeLocked();
  }

  // UI thread: hands `window` what came since the last call. `ended` (may be empty) stops the
  // delivery between two reports, e.g. when one of them closed the window.
  void Drain(Window& window, const std::function<bool()>& ended = {}) {
    std::vector<std::function<void(Window&)>> reports;
    std::map<std::string, int> progress;
    {
      std::lock_guard lock(mutex_);
      reports.swap(reports_);
      progress.swap(progress_);
      posted_ = false;
    }
    const auto over = [&] { return ended && ended(); };
    for (const auto& report : reports) {
      if (over()) return;
      report(window);
    }
    for (const auto& [port, percent] : progress) {
      if (over()) return;
      window.OnPortProgress(port, percent);
    }
  }

  void OnPortState(const std::string& port, station::PortState state) override {
    ForgetQueuedPercent(port);
    Post([port, state](Window& w) { w.OnPortState(port, state); });
  }
  void OnProgress(const std::string& port, int percent) override {
    std::lock_guard lock(mutex_);
    if (every_progress_) {
      // the worker reports after every transfer; a percentage is queued once (again after the
      // port's next state or unit, which a face may draw from anew)
      const auto [last, fresh] = queued_percent_.try_emplace(port, percent);
      if (!fresh && last->second == percent) return;
      last->second = percent;
      reports_.push_back([port, percent](Window& w) { w.OnPortProgress(port, percent); });
    } else {
      progress_[port] = percent;
    }
    WakeLocked();
  }
  void OnMessage(const std::string& port, const MessageBoxRequest& message) override {
    Post([port, message](Window& w) { w.OnPortMessage(port, message); });
  }
  void OnPowerNote(const std::string& port, const std::string& text) override {
    Post([port, text](Window& w) { w.OnPowerNote(port, text); });
  }
  void OnUnitStarted(const std::string& port, const std::string& serial) override {
    ForgetQueuedPercent(port);
    Post([port, serial](Window& w) { w.OnUnitStarted(port, serial); });
  }
  void OnUnitFinished(const station::UnitReport& unit) override {
    Post([unit](Window& w) { w.OnUnitFinished(unit); });
  }
  void OnTotals(const station::StationTotals&) override {}
  void OnProblem(const std::string& text) override {
    Post([text](Window& w) { w.OnStationProblem(text); });
  }

 private:
  void ForgetQueuedPercent(const std::string& port) {
    std::lock_guard lock(mutex_);
    queued_percent_.erase(port);
  }
  void WakeLocked() {
    if (posted_ || !wake_) return;
    posted_ = wake_();
  }

  std::mutex mutex_;
  std::vector<std::function<void(Window&)>> reports_;
  std::map<std::string, int> progress_;
  std::map<std::string, int> queued_percent_;  // every_progress_: the last queued per port
  bool posted_ = false;
  bool every_progress_ = false;
  Wake wake_;
};

}  // namespace qz::production
