#include "virtual_station/virtual_operator.h"

#include <cstdint>
#include <vector>

#include "sim/virtual_chip.h"

namespace qz::station {

VirtualOperator::VirtualOperator(Clock& clock,
                                 std::function<sim::VirtualChip*(const std::string&)> chip_on_port,
                                 Clock::Duration pause)
    : clock_(clock), chip_on_port_(std::move(chip_on_port)), pause_(pause) {}

void VirtualOperator::UnitFinished(const std::string& port) {
  sim::VirtualChip* chip = chip_on_port_(port);
  if (chip == nullptr) return;
  chip->SetPresent(false);
  std::lock_guard lock(mutex_);
  plug_at_[port] = clock_.Now() + pause_;
}

void VirtualOperator::Tick(const std::string& port) {
  sim::VirtualChip* chip = chip_on_port_(port);
  if (chip == nullptr) return;
  Clock::Duration at{};
  {
    std::lock_guard lock(mutex_);
    const auto due = plug_at_.find(port);
    if (due == plug_at_.end()) return;
    at = due->second;
    plug_at_.erase(due);
  }
  // the operator's hands take their time; the port has nothing else to do meanwhile
  const Clock::Duration now = clock_.Now();
  if (now < at) clock_.SleepFor(at - now);
  // a fresh chip: blank EEPROM, so it comes up in ROM mode
  chip->SetEeprom(std::vector<std::uint8_t>(sim::kEepromBytes, 0xFF));
  chip->SetPresent(true);
}

}  // namespace qz::station
