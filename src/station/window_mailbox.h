#pragma once

// What a station window needs between the station's port threads and its UI thread, the same
// for every front end: a mailbox that the station reports into (never waiting for the window),
// and the run of production behind the window (log, recorder, virtual operator, station, and the
// thread that runs it).

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"
#include "station/log_recorder.h"
#include "station/station.h"

namespace qz::station {

// The station's observer for a window of type `Window`: the ports' reports in order, and each
// port's latest progress (a job moves its bar far more often than a screen shows). One wake-up
// of the UI thread at a time carries everything that came meanwhile; the wake-up carries no data,
// everything crosses under the mailbox's lock. `Window` has OnPortState, OnPortProgress,
// OnPortMessage, OnUnitStarted, OnUnitFinished and OnStationProblem.
template <class Window>
class WindowMailbox final : public StationObserver {
 public:
  // Asks the UI thread to call Drain; runs under the mailbox's lock on any thread and must not
  // block. False when nothing was asked (no window): the next report asks again.
  using Wake = std::function<bool()>;

  // Empty: no window to wake (it has gone).
  void SetWake(Wake wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
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

  void OnPortState(const std::string& port, PortState state) override {
    Post([port, state](Window& w) { w.OnPortState(port, state); });
  }
  void OnProgress(const std::string& port, int percent) override {
    std::lock_guard lock(mutex_);
    progress_[port] = percent;
    WakeLocked();
  }
  void OnMessage(const std::string& port, const MessageBoxRequest& message) override {
    Post([port, text = message.text](Window& w) { w.OnPortMessage(port, text); });
  }
  void OnUnitStarted(const std::string& port, const std::string& serial) override {
    Post([port, serial](Window& w) { w.OnUnitStarted(port, serial); });
  }
  void OnUnitFinished(const UnitReport& unit) override {
    Post([unit](Window& w) { w.OnUnitFinished(unit); });
  }
  void OnTotals(const StationTotals&) override {}
  void OnProblem(const std::string& text) override {
    Post([text](Window& w) { w.OnStationProblem(text); });
  }

 private:
  void WakeLocked() {
    if (posted_ || !wake_) return;
    posted_ = wake_();
  }

  std::mutex mutex_;
  std::vector<std::function<void(Window&)>> reports_;
  std::map<std::string, int> progress_;
  bool posted_ = false;
  Wake wake_;
};

// One run of production behind a window: what it needs, and the thread that runs the station.
struct StationRun {
  StationRun() = default;
  ~StationRun() { Join(); }
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;

  // Runs the station on a thread of its own; `stopped` is called on that thread at the end.
  void Start(std::function<void()> stopped) {
    running = true;
    runner = std::thread([this, stopped = std::move(stopped)] {
      (void)station->Run();
      stopped();
    });
  }
  // Every port's running job stops as a confirmed Exit stops it; waits until all have ended.
  void StopNow() {
    if (station != nullptr) {
      while (station->StopRequests() < 2) station->RequestStop();
    }
    Join();
  }
  void Join() {
    if (runner.joinable()) runner.join();
  }

  std::unique_ptr<prodlog::ProductionLog> log;
  std::unique_ptr<LogRecorder> recorder;
  std::unique_ptr<UnitHandler> virtual_operator;  // a virtual session's operator, or null
  std::unique_ptr<Station> station;
  std::thread runner;
  bool running = false;  // UI thread: from Start until the end of the run has been handled
};

}  // namespace qz::station
