#include "station/hotplug_fanout.h"

#ifdef __linux__
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <cstdint>

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
  unsigned wakes_seen = 0;
  std::vector<DeviceChange> pending;

 private:
  HotplugFanout& fanout_;
};

HotplugFanout::HotplugFanout(HotplugSource* source) : source_(source) {}

HotplugFanout::~HotplugFanout() {
  std::lock_guard lifecycle(lifecycle_);
  StopPumpThread();
  std::lock_guard lock(mutex_);
  if (started_ > 0 && source_ != nullptr) source_->Stop();
}

HotplugSource* HotplugFanout::NewView() {
  std::lock_guard lock(mutex_);
  views_.push_back(std::make_unique<View>(*this));
  return views_.back().get();
}

bool HotplugFanout::StartView(View& view) {
  std::lock_guard lifecycle(lifecycle_);
  std::lock_guard lock(mutex_);
  if (source_ == nullptr) return false;
  if (view.started) return true;
  if (started_ == 0 && !source_->Start()) return false;
  view.started = true;
  ++started_;
#ifdef __linux__
  // The first view to start sets the waiting thread going, for as long as the source runs.
  if (!pump_.joinable() && source_->PollFd() >= 0) {
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ >= 0) {
      pumping_ = true;
      pump_ = std::thread([this, fd = source_->PollFd()] { PumpThread(fd); });
    }
  }
#endif
  return true;
}

void HotplugFanout::StopView(View& view) {
  std::lock_guard lifecycle(lifecycle_);
  {
    std::lock_guard lock(mutex_);
    if (!view.started) return;
    view.started = false;
    view.pending.clear();
    if (--started_ > 0) return;
  }
  // the last view: the thread goes before the source's descriptor does
  StopPumpThread();
  std::lock_guard lock(mutex_);
  if (started_ == 0 && source_ != nullptr) source_->Stop();
}

void HotplugFanout::StopPumpThread() {
  if (!pump_.joinable()) return;
#ifdef __linux__
  const std::uint64_t one = 1;
  (void)!write(stop_fd_, &one, sizeof one);
  pump_.join();
  close(stop_fd_);
  stop_fd_ = -1;
#endif
  std::lock_guard lock(mutex_);
  pumping_ = false;
}

void HotplugFanout::PumpLocked() {
  if (source_ == nullptr || started_ == 0) return;
  const std::vector<DeviceChange> fresh = source_->TakeEvents();
  if (fresh.empty()) return;
  for (const std::unique_ptr<View>& each : views_) {
    if (each->started) each->pending.insert(each->pending.end(), fresh.begin(), fresh.end());
  }
  changed_.notify_all();
}

void HotplugFanout::PumpThread([[maybe_unused]] int source_fd) {
#ifdef __linux__
  for (;;) {
    pollfd fds[2] = {{source_fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    if ((fds[1].revents & POLLIN) != 0) return;
    std::lock_guard lock(mutex_);
    PumpLocked();
  }
#endif
}

std::vector<DeviceChange> HotplugFanout::TakeFor(View& view) {
  std::lock_guard lock(mutex_);
  PumpLocked();
  std::vector<DeviceChange> events;
  events.swap(view.pending);
  return events;
}

bool HotplugFanout::CanWait(HotplugSource* view) {
  std::lock_guard lock(mutex_);
  return static_cast<View*>(view)->started;
}

void HotplugFanout::Wait(HotplugSource* view_in, std::chrono::milliseconds limit) {
  View& view = *static_cast<View*>(view_in);
  std::unique_lock lock(mutex_);
  const auto ready = [&] { return !view.pending.empty() || view.wakes_seen != wakes_; };
  if (!pumping_) PumpLocked();  // without a waiting thread, this view looks for itself
  if (!ready()) {
    (void)changed_.wait_for(lock, limit, ready);
    if (!pumping_) PumpLocked();
  }
  view.wakes_seen = wakes_;
}

bool HotplugFanout::Pumping() {
  std::lock_guard lock(mutex_);
  return pumping_;
}

void HotplugFanout::Wake() {
  std::lock_guard lock(mutex_);
  ++wakes_;
  changed_.notify_all();
}

}  // namespace qz::station
