#include "production/station_report.h"

#include <utility>

namespace qz::production {

StationReporter::StationReporter(prodlog::ProductionLog& log, Clock& clock,
                                 prodlog::StationState who, Ports ports, double wall_start)
    : log_(log),
      clock_(clock),
      state_(std::move(who)),
      ports_(std::move(ports)),
      wall_start_(wall_start >= 0.0
                      ? wall_start
                      : std::chrono::duration<double>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count()),
      clock_start_(clock.Now()) {
  Report();
}

void StationReporter::Poll() {
  if (state_.ended || (last_ && clock_.Now() - *last_ < kReportEvery)) return;
  Report();
}

void StationReporter::End() {
  if (state_.ended) return;
  state_.ended = true;
  Report();
}

void StationReporter::Report() {
  const Clock::Duration now = clock_.Now();
  last_ = now;
  state_.ports = ports_ ? ports_() : std::vector<prodlog::PortReport>{};
  if (state_.ended) {
    for (prodlog::PortReport& port : state_.ports) port = {port.port, "stopped", 0, {}, -1};
  }
  state_.reported =
      prodlog::UtcIso8601(wall_start_ + std::chrono::duration<double>(now - clock_start_).count());
  // a report that cannot be written now is replaced by the next one
  prodlog::LogError ignored;
  (void)log_.ReportStation(state_, &ignored);
}

prodlog::StationState StationIdentity(const prodlog::UnitStart& units) {
  prodlog::StationState who;
  who.station = units.station;
  who.host = prodlog::HostName();
  who.version = QZ_VERSION;
  who.job = units.job;
  who.image_path = units.image_path;
  who.image_sha256 = units.image_sha256;
  return who;
}

}  // namespace qz::production
