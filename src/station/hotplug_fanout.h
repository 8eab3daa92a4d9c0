#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "hid/hotplug.h"

namespace qz::station {

// One hotplug source shared by several dialogs: each gets a view with its own queue, and every
// event the source raises reaches every started view. The views pump the source when they are
// asked for their events, so no thread of its own is needed.
class HotplugFanout {
 public:
  // `source` (not owned, may be null: the views then never start) outlives the fan-out and its
  // views.
  explicit HotplugFanout(HotplugSource* source);
  ~HotplugFanout();
  HotplugFanout(const HotplugFanout&) = delete;
  HotplugFanout& operator=(const HotplugFanout&) = delete;

  // A new view; owned by the fan-out, valid for its life.
  [[nodiscard]] HotplugSource* NewView();

 private:
  class View;
  bool StartView(View& view);
  void StopView(View& view);
  std::vector<DeviceChange> TakeFor(View& view);

  HotplugSource* source_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<View>> views_;
  int started_ = 0;
};

}  // namespace qz::station
