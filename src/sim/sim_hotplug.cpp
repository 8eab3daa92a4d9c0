#include "sim/sim_hotplug.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "sim/virtual_chip.h"

namespace qz::sim {

SimHotplugSource::SimHotplugSource(VirtualChip* chip)
    : SimHotplugSource(chip != nullptr ? std::vector<VirtualChip*>{chip}
                                       : std::vector<VirtualChip*>{}) {}

SimHotplugSource::SimHotplugSource(std::vector<VirtualChip*> chips)
    : chips_(std::move(chips)), event_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  for (VirtualChip* chip : chips_) {
    chip->SetPlugListener([this](std::uint32_t event_type) { InjectEvent(event_type); });
  }
}

SimHotplugSource::~SimHotplugSource() {
  // Waits for a listener call in progress: the chip calls it under its own lock.
  for (VirtualChip* chip : chips_) chip->SetPlugListener(nullptr);
  if (event_fd_ >= 0) close(event_fd_);
}

bool SimHotplugSource::Start() {
  std::lock_guard lock(mutex_);
  started_ = true;
  return true;
}

void SimHotplugSource::Stop() {
  std::lock_guard lock(mutex_);
  started_ = false;
}

int SimHotplugSource::PollFd() const { return event_fd_; }

std::vector<DeviceChange> SimHotplugSource::TakeEvents() {
  std::lock_guard lock(mutex_);
  if (event_fd_ >= 0) {
    std::uint64_t count = 0;
    // Resets the counter; EAGAIN when nothing was signalled is fine.
    (void)!read(event_fd_, &count, sizeof count);
  }
  std::vector<DeviceChange> events;
  events.swap(pending_);
  return events;
}

void SimHotplugSource::Inject(const DeviceChange& change) {
  std::lock_guard lock(mutex_);
  if (!started_) return;
  pending_.push_back(change);
  if (event_fd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!write(event_fd_, &one, sizeof one);
  }
}

void SimHotplugSource::InjectEvent(std::uint32_t event_type) {
  DeviceChange change;
  change.event_type = event_type;
  Inject(change);
}

}  // namespace qz::sim
