#pragma once
// A running station's reports of itself to its store: who it is (name, host, version), what it
// runs (job or image), what each port does, and at the end that it ended cleanly. A report goes
// out at most every kReportEvery on the injected clock, whenever the face polls (its drains and
// ticks come more often than that), so a dashboard tells a silent station from a running one.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "prodlog/production_log.h"

namespace qz::production {

inline constexpr Clock::Duration kReportEvery = std::chrono::seconds(2);

class StationReporter {
 public:
  using Ports = std::function<std::vector<prodlog::PortReport>()>;
  // `log` and `clock` are not owned and outlive the reporter. `who` holds the station's name,
  // host, version, job and image; `ports` tells what the ports do at each report. The reported
  // time is the wall time at construction (`wall_start`, seconds since the epoch; < 0: now)
  // moved on by `clock`. The first report goes out at once.
  StationReporter(prodlog::ProductionLog& log, Clock& clock, prodlog::StationState who,
                  Ports ports, double wall_start = -1.0);

  // Reports when the last report is kReportEvery old or more.
  void Poll();
  // The station ended cleanly: one last report, every port stopped. Once.
  void End();
  // The last report sent (or tried).
  [[nodiscard]] const prodlog::StationState& Last() const { return state_; }

 private:
  void Report();

  prodlog::ProductionLog& log_;
  Clock& clock_;
  prodlog::StationState state_;
  Ports ports_;
  double wall_start_;
  Clock::Duration clock_start_;
  std::optional<Clock::Duration> last_;
};

// What the station's report says of the program and the run: this host and the program's
// version, the station's name, job and image from the units' row start.
[[nodiscard]] prodlog::StationState StationIdentity(const prodlog::UnitStart& units);

}  // namespace qz::production
