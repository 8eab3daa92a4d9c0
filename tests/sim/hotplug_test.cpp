// Hotplug sources: the simulated bus's event queue and eventfd, and the udev monitor's mapping.
#include <gtest/gtest.h>
#ifdef __linux__
#include <poll.h>
#endif

#include <filesystem>
#include <vector>

#include "hid/hotplug.h"
#ifdef __linux__
#include "hid/platform/udev_hotplug.h"
#endif
#include "sim/chip_helpers.h"
#include "sim/sim_hotplug.h"

namespace qz::sim::test {
namespace {

#ifdef __linux__
bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}
#else
// No descriptor to wait on here: the events are polled.
bool Readable(int) { return false; }
#endif

TEST(SimHotplug, EventsWaitOnTheEventFdUntilTaken) {
  SimHotplugSource source;
  ASSERT_TRUE(source.Start());
#ifdef __linux__
  ASSERT_GE(source.PollFd(), 0);
#endif
  EXPECT_FALSE(Readable(source.PollFd()));
  EXPECT_TRUE(source.TakeEvents().empty());

  source.InjectEvent(kDbtDeviceArrival);
  DeviceChange other;
  other.event_type = kDbtDeviceQueryRemove;
  other.header.device_type = 2;
  source.Inject(other);
  source.InjectEvent(kDbtDeviceRemoveComplete);
#ifdef __linux__
  EXPECT_TRUE(Readable(source.PollFd()));
#endif

  const std::vector<DeviceChange> events = source.TakeEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].event_type, kDbtDeviceArrival);
  EXPECT_EQ(events[0].header.device_type, kDbtDevtypDeviceInterface);
  EXPECT_EQ(events[1].event_type, kDbtDeviceQueryRemove);
  EXPECT_EQ(events[1].header.device_type, 2u);
  EXPECT_EQ(events[2].event_type, kDbtDeviceRemoveComplete);
  EXPECT_FALSE(Readable(source.PollFd()));
  EXPECT_TRUE(source.TakeEvents().empty());
}

TEST(SimHotplug, EventsOutsideStartAndStopAreDropped) {
  Bench bench;
  SimHotplugSource source(&bench.chip);
  bench.chip.Replug();
  EXPECT_TRUE(source.TakeEvents().empty());
  EXPECT_FALSE(Readable(source.PollFd()));
  ASSERT_TRUE(source.Start());
  bench.chip.Replug();
  source.Stop();
  bench.chip.Replug();
  const std::vector<DeviceChange> events = source.TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_type, kDbtDeviceRemoveComplete);
  EXPECT_EQ(events[1].event_type, kDbtDeviceArrival);
}

TEST(SimHotplug, ASourceGoneBeforeTheChipLeavesItQuiet) {
  Bench bench;
  {
    SimHotplugSource source(&bench.chip);
    ASSERT_TRUE(source.Start());
  }
  bench.chip.Replug();  // must not reach the destroyed source
  EXPECT_TRUE(bench.chip.Present());
}

#ifdef __linux__
TEST(UdevHotplug, ActionsMapToDeviceChangeTypes) {
  EXPECT_EQ(UdevActionEventType("add"), kDbtDeviceArrival);
  EXPECT_EQ(UdevActionEventType("remove"), kDbtDeviceRemoveComplete);
  for (const char* action : {"bind", "unbind", "change", "move", "", "Add"}) {
    SCOPED_TRACE(action);
    const std::uint32_t type = UdevActionEventType(action);
    EXPECT_NE(type, kDbtDeviceArrival);
    EXPECT_NE(type, kDbtDeviceRemoveComplete);
  }
  EXPECT_EQ(UdevActionEventType(nullptr), UdevHotplugSource::kOtherAction);
}

TEST(UdevHotplug, WorksOrSaysNoWithoutBlocking) {
  UdevHotplugSource source;
  EXPECT_EQ(source.PollFd(), -1);
  EXPECT_TRUE(source.TakeEvents().empty());
  if (source.Start()) {
    EXPECT_GE(source.PollFd(), 0);
    (void)source.TakeEvents();  // returns at once whatever is pending
    source.Stop();
  }
  EXPECT_EQ(source.PollFd(), -1);
  EXPECT_TRUE(source.TakeEvents().empty());
}

TEST(UdevHotplug, WithoutTheUdevDaemonThereIsNoMonitor) {
  // The daemon's control socket: where it is missing, no udev event will ever arrive.
  if (std::filesystem::exists("/run/udev/control")) GTEST_SKIP() << "the udev daemon runs here";
  UdevHotplugSource source;
  EXPECT_FALSE(source.Start());
  EXPECT_EQ(source.PollFd(), -1);
}
#endif

}  // namespace
}  // namespace qz::sim::test
