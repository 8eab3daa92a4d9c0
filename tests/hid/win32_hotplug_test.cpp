// Windows device-change notifications on the source's own message-only window.
#include <gtest/gtest.h>

#include <vector>

#include "hid/platform/win32_hotplug.h"  // windows.h, before dbt.h

#include <dbt.h>

namespace qz {
namespace {

TEST(Win32Hotplug, DeviceChangesOfTheOwnWindowAreQueuedWhileStarted) {
  Win32HotplugSource source;
  EXPECT_EQ(source.Window(), nullptr);
  ASSERT_TRUE(source.Start());
  const HWND window = source.Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(source.PollFd(), -1);

  DEV_BROADCAST_DEVICEINTERFACE_A usb{};
  usb.dbcc_size = sizeof usb;
  usb.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_HDR volume{};
  volume.dbch_size = sizeof volume;
  volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
  // broadcasts with a header are sent (they carry a pointer); one without is posted, and
  // TakeEvents pumps it
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&usb));
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&volume));
  ASSERT_TRUE(PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));

  const std::vector<DeviceChange> events = source.TakeEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].event_type, kDbtDeviceArrival);
  EXPECT_EQ(events[0].header.device_type, kDbtDevtypDeviceInterface);
  EXPECT_EQ(events[0].header.size, sizeof usb);
  EXPECT_EQ(events[1].event_type, kDbtDeviceRemoveComplete);
  EXPECT_EQ(events[1].header.device_type, static_cast<std::uint32_t>(DBT_DEVTYP_VOLUME));
  EXPECT_EQ(events[2].header.device_type, 0u) << "no header: names no device interface";
  EXPECT_TRUE(source.TakeEvents().empty());

  source.Stop();
  EXPECT_EQ(source.Window(), nullptr);
  EXPECT_FALSE(IsWindow(window));
  source.OnDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&usb));
  EXPECT_TRUE(source.TakeEvents().empty());
  ASSERT_TRUE(source.Start()) << "a stopped source starts again";
}

}  // namespace
}  // namespace qz
