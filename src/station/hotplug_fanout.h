#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hid/hotplug.h"

namespace qz::station {

// One hotplug source shared by several dialogs: each gets a view with its own queue, and every
// event the source raises reaches every started view. Where the source has a descriptor to wait
// on, a thread of the fan-out waits on it and hands the events out as they come, so a view can
// block until it has events (Wait); elsewhere the views pump the source when they are asked.
class HotplugFanout {
 public:
  // `source` (not owned, may be null: the views then never start) outlives the fan-out and its
  // views.
  explicit HotplugFanout(HotplugSource* source);
  ~HotplugFanout();
  HotplugFanout(const HotplugFanout&) = delete;
  HotplugFanout& operator=(const HotplugFanout&) = delete;

  // A new view; owned by the fan-out, valid for its life. Any thread.
  [[nodiscard]] HotplugSource* NewView();

  // True when waiting on `view` wakes on the source's events (it is started, and the source can
  // be waited on or pumped); false where only a poll of the bus finds changes.
  [[nodiscard]] bool CanWait(HotplugSource* view);
  // Blocks until `view` has events, Wake() is called, or `limit` of real time has passed; the
  // events stay queued for the view's TakeEvents. Returns at once when the view has events.
  void Wait(HotplugSource* view, std::chrono::milliseconds limit);
  // True while a thread of the fan-out waits on the source (a Wait then needs no limit).
  [[nodiscard]] bool Pumping();
  // Ends every Wait now and the next one at once (each wake counts once per waiter generation).
  void Wake();

 private:
  class View;
  bool StartView(View& view);
  void StopView(View& view);
  std::vector<DeviceChange> TakeFor(View& view);
  // Takes the source's events and queues them on every started view; under `mutex_`.
  void PumpLocked();
  void PumpThread(int source_fd);
  // Ends the waiting thread; under `lifecycle_`, not `mutex_`.
  void StopPumpThread();

  HotplugSource* source_;
  std::mutex lifecycle_;  // starts and stops of views, one at a time
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<View>> views_;
  int started_ = 0;
  unsigned wakes_ = 0;
  // the thread that waits on the source's descriptor, and the descriptor that ends it
  std::thread pump_;
  int stop_fd_ = -1;
  bool pumping_ = false;
};

}  // namespace qz::station
