#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "station/station.h"

namespace qz::sim {
class VirtualChip;
}

namespace qz::station {

// The operator of a virtual station: takes each finished unit off its port and, after a short
// pause on the clock (the port's Tick sleeps through it), plugs in a fresh blank chip there (the port's faults stay: they belong to
// the port's test set-up).
class VirtualOperator final : public UnitHandler {
 public:
  // `chip_on_port` gives the virtual chip of a port, or null.
  VirtualOperator(Clock& clock, std::function<sim::VirtualChip*(const std::string&)> chip_on_port,
                  Clock::Duration pause = std::chrono::milliseconds(500));

  void UnitFinished(const std::string& port) override;
  void Tick(const std::string& port) override;

 private:
  Clock& clock_;
  std::function<sim::VirtualChip*(const std::string&)> chip_on_port_;
  const Clock::Duration pause_;
  std::mutex mutex_;
  std::map<std::string, Clock::Duration> plug_at_;
};

}  // namespace qz::station
