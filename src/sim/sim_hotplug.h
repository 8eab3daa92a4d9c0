#pragma once

#include <cstdint>
#include <mutex>
#include <vector>


#include "hid/hotplug.h"

namespace qz::sim {

class VirtualChip;

// Device changes of the simulated bus: the chip's removals and arrivals (and anything a test
// injects) are queued and an eventfd turns readable, so poll() or a socket notifier can wait on
// it like on a udev monitor. Events are kept only between Start() and Stop().
class SimHotplugSource final : public HotplugSource {
 public:
  // Listens to `chip` (when given) for as long as this object lives; not owned.
  explicit SimHotplugSource(VirtualChip* chip = nullptr);
  // Listens to every chip of `chips` (a bus of several), none owned.
  explicit SimHotplugSource(std::vector<VirtualChip*> chips);
  ~SimHotplugSource() override;
  SimHotplugSource(const SimHotplugSource&) = delete;
  SimHotplugSource& operator=(const SimHotplugSource&) = delete;

  bool Start() override;
  void Stop() override;
  [[nodiscard]] int PollFd() const override;
  [[nodiscard]] std::vector<DeviceChange> TakeEvents() override;

  // Queues a device-change event as if the bus had raised it (dropped unless started).
  void Inject(const DeviceChange& change);
  // Queues an event of `event_type` for a device interface.
  void InjectEvent(std::uint32_t event_type);

 private:
  std::vector<VirtualChip*> chips_;
  int event_fd_ = -1;
  mutable std::mutex mutex_;
  bool started_ = false;
  std::vector<DeviceChange> pending_;
};

}  // namespace qz::sim
