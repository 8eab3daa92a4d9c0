#pragma once
// What the `station` command shows: JSON Lines, or one line per port redrawn in place and a
// totals line. It draws what the station presenter holds; the command's main thread plays the
// presenter's UI thread (WaitForReports, then the presenter's Drain, then Draw).

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "cli/cli_common.h"
#include "prodlog/production_log.h"
#include "production/station_presenter.h"

namespace qz::cli {

class StationView final : public production::StationFace, public production::StationReports {
 public:
  // `ports` in the order the lines are drawn (ports taken up later follow). `terminal`: lines
  // redrawn in place on stdout. `piped`: stdout is a pipe the operator did not ask to be JSON;
  // progress goes to it at most once a second per port on `clock` (a job's end always).
  StationView(const Output& output, std::vector<std::string> ports, bool terminal, bool piped,
              Clock& clock);

  // The presenter the lines are drawn from; before its Start.
  void Attach(const production::StationPresenter& presenter) { presenter_ = &presenter; }
  // Waits until the station has reported something, at most `longest`.
  void WaitForReports(std::chrono::milliseconds longest);
  // Redraws the lines when something changed since the last time.
  void Draw();
  // A line of the command's own about the run (an interrupt): JSON "problem" or stderr.
  void Problem(const std::string& text) override;
  // The run stopped on `signal`: "running jobs finish" (the first) or "running jobs" (again).
  void Interrupted(int signal, const std::string& stopped);
  // Leaves the drawn lines on the screen.
  void Finish() { drawn_ = 0; }

  // production::StationFace
  void TileChanged(const std::string& port) override;
  void TilesChanged() override { changed_ = true; }
  void StatusChanged() override {}
  void TotalsChanged() override { changed_ = true; }
  void HistoryChanged() override {}
  [[nodiscard]] bool ShowsHistory() const override { return false; }
  void RunChanged() override {}
  bool Confirm(const std::string&) override { return false; }
  void Close() override {}
  bool Wake() override;

  // production::StationReports
  void Progress(const std::string& port, int percent) override;
  void Message(const std::string& port, const MessageBoxRequest& message) override;
  void PowerNote(const std::string& port, const std::string& text) override;
  void UnitStarted(const std::string& port, const std::string& serial) override;
  void UnitFinished(const station::UnitReport& unit) override;
  void LineState(const prodlog::LineState& state) override;
  void ResultsState(const results::ResultsState& state) override;

  // One port's line as drawn: "sim-1  programming 45 %  L7-000001".
  [[nodiscard]] std::string Describe(const std::string& port) const;

 private:
  void Write(const nlohmann::json& line);
  void Redraw();

  const Output& output_;
  const bool terminal_;
  const bool piped_;
  Clock& clock_;
  const production::StationPresenter* presenter_ = nullptr;
  std::vector<std::string> order_;
  // each port's last progress written, and when
  std::map<std::string, int> percent_;
  std::map<std::string, Clock::Duration> progress_at_;
  prodlog::LineState line_;
  results::ResultsState results_;
  bool changed_ = false;
  int drawn_ = 0;

  std::mutex wake_mutex_;
  std::condition_variable woken_cv_;
  bool woken_ = false;
};

}  // namespace qz::cli
