#include "station/hotplug_fanout.h"

namespace qz::station {

class HotplugFanout::View final : public HotplugSource {
 public:
  explicit View(HotplugFanout& fanout) : fanout_(fanout) {}
  bool Start() override { return fanout_.StartView(*this); }
  void Stop() override { fanout_.StopView(*this); }
  // The shared source's descriptor tells that the source has events, not that this view has.
  [[nodiscard]] int PollFd() const override { return -1; }
  [[nodiscard]] std::vector<DeviceChange> TakeEvents() override { return fanout_.TakeFor(*this); }

  bool started = false;
  std::vector<DeviceChange> pending;

 private:
  HotplugFanout& fanout_;
};

HotplugFanout::HotplugFanout(HotplugSource* source) : source_(source) {}

HotplugFanout::~HotplugFanout() {
  std::lock_guard lock(mutex_);
  if (started_ > 0 && source_ != nullptr) source_->Stop();
}

HotplugSource* HotplugFanout::NewView() {
  std::lock_guard lock(mutex_);
  views_.push_back(std::make_unique<View>(*this));
  return views_.back().get();
}

bool HotplugFanout::StartView(View& view) {
  std::lock_guard lock(mutex_);
  if (source_ == nullptr) return false;
  if (view.started) return true;
  if (started_ == 0 && !source_->Start()) return false;
  view.started = true;
  ++started_;
  return true;
}

void HotplugFanout::StopView(View& view) {
  std::lock_guard lock(mutex_);
  if (!view.started) return;
  view.started = false;
  view.pending.clear();
  if (--started_ == 0 && source_ != nullptr) source_->Stop();
}

std::vector<DeviceChange> HotplugFanout::TakeFor(View& view) {
  std::lock_guard lock(mutex_);
  if (source_ != nullptr && started_ > 0) {
    const std::vector<DeviceChange> fresh = source_->TakeEvents();
    for (const std::unique_ptr<View>& each : views_) {
      if (each->started) each->pending.insert(each->pending.end(), fresh.begin(), fresh.end());
    }
  }
  std::vector<DeviceChange> events;
  events.swap(view.pending);
  return events;
}

}  // namespace qz::station
