// The re-plug by port power against a sysfs tree laid out in a temporary directory. A small
// stand-in for the kernel acts on every pause of the clock: it takes the device off the bus
// while its port reads switched off and brings the chip back when it is switched on again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "portpower/port_power.h"
#include "portpower/sysfs_port_power.h"
#include "support/sample_images.h"

namespace qz::station {
namespace {

namespace fs = std::filesystem;

// How the stand-in kernel and the chip behave.
struct KernelKnobs {
  bool device_stays = false;          // the hub does not really switch: the device stays
  bool hub_powers_on_again = false;   // the hub switches the port on again by itself
  ChipSeen comes_back = ChipSeen::kRom;
};

class FakeKernelClock final : public Clock {
 public:
  FakeKernelClock(fs::path port_dir, fs::path device_dir, fs::path peer_dir, KernelKnobs knobs)
      : port_dir_(std::move(port_dir)),
        device_dir_(std::move(device_dir)),
        peer_dir_(std::move(peer_dir)),
        knobs_(knobs) {}

  [[nodiscard]] Duration Now() const override { return now_; }
  void SleepFor(Duration duration) override {
    now_ += duration;
    const bool off = Read(port_dir_) == "1";
    if (!peer_dir_.empty()) peer_followed_ = peer_followed_ && Read(peer_dir_) == Read(port_dir_);
    if (off) {
      off_seen_ = true;
      if (!knobs_.device_stays && fs::exists(device_dir_)) fs::rename(device_dir_, Gone());
      if (knobs_.hub_powers_on_again) std::ofstream(port_dir_ / "disable") << "0";
    } else if (off_seen_) {
      if (fs::exists(Gone())) fs::rename(Gone(), device_dir_);
      on_again_ = true;
    }
  }

  [[nodiscard]] ChipSeen Look() const { return on_again_ ? knobs_.comes_back : ChipSeen::kNone; }
  [[nodiscard]] bool PeerFollowed() const { return peer_followed_; }

  // where the device's directory waits while it is off the bus
  [[nodiscard]] fs::path Gone() const { return device_dir_.string() + ".gone"; }

  static std::string Read(const fs::path& dir) {
    std::ifstream in(dir / "disable");
    std::string text;
    in >> text;
    return text;
  }

 private:
  fs::path port_dir_, device_dir_, peer_dir_;
  KernelKnobs knobs_;
  Duration now_{};
  bool off_seen_ = false;
  bool on_again_ = false;
  bool peer_followed_ = true;
};

// A port that records every switch and when it came, over the sysfs implementation.
class RecordingPower final : public PortPower {
 public:
  RecordingPower(PortPower& inner, const Clock& clock) : inner_(inner), clock_(clock) {}
  std::optional<HubPort> Find(const std::string& device, std::string* why) override {
    return inner_.Find(device, why);
  }
  bool Switch(const HubPort& port, bool off, std::string* why) override {
    switches.push_back({off, clock_.Now()});
    return inner_.Switch(port, off, why);
  }
  std::optional<bool> IsOff(const HubPort& port) override { return inner_.IsOff(port); }
  bool DevicePresent(const HubPort& port) override { return inner_.DevicePresent(port); }

  struct Step {
    bool off;
    Clock::Duration at;
  };
  std::vector<Step> switches;

 private:
  PortPower& inner_;
  const Clock& clock_;
};

// /sys with hub 1-1 (interface 1-1:1.0, ports 1-1-port1..3) and the chip as device 1-1.2.
class PowerReplugTest : public testing::Test {
 public:
  PowerReplugTest() : root_(dir_.path()) { Build(); }

  // (again for every case of a table)
  void Build() {
    fs::remove_all(root_ / "bus");
    for (int port = 1; port <= 3; ++port) MakePort(PortDir(port));
    fs::create_directories(Device("1-1.2"));
    fs::create_symlink(PortDir(2), Device("1-1.2") / "port");
    fs::create_directories(Device("1-1.3"));
    fs::create_symlink(PortDir(3), Device("1-1.3") / "port");
    // a hub that switches every port on its own (wHubCharacteristics bits 1:0 = 01)
    SetHubDescriptor(0x01);
  }

  fs::path Device(const std::string& name) const { return root_ / "bus/usb/devices" / name; }
  fs::path PortDir(int port) const {
    return Device("1-1") / "1-1:1.0" / ("1-1-port" + std::to_string(port));
  }
  static void MakePort(const fs::path& dir) {
    fs::create_directories(dir);
    std::ofstream(dir / "disable") << "0\n";
  }
  // descriptors: the hub's device descriptor, then its hub class descriptor.
  void SetHubDescriptor(unsigned characteristics) const {
    std::ofstream out(Device("1-1") / "descriptors", std::ios::binary);
    const unsigned char device[18] = {18, 0x01, 0x00, 0x02, 0x09};
    const unsigned char hub[9] = {9, 0x29, 3, static_cast<unsigned char>(characteristics), 0, 50,
                                  100, 0, 0xFF};
    out.write(reinterpret_cast<const char*>(device), sizeof device);
    out.write(reinterpret_cast<const char*>(hub), sizeof hub);
  }

  struct Run {
    PowerReplugger::Outcome outcome;
    std::vector<RecordingPower::Step> switches;
    bool peer_followed = true;
  };
  Run Replug(KernelKnobs knobs = {}, const std::string& busy_elsewhere = {},
             const fs::path& peer = {}) {
    SysfsPortPower sysfs(root_);
    FakeKernelClock clock(PortDir(2), Device("1-1.2"), peer, knobs);
    RecordingPower power(sysfs, clock);
    PowerTimings timings;
    PowerReplugger replugger(power, clock, timings);
    replugger.SetBusy("1-1.2", true);
    if (!busy_elsewhere.empty()) replugger.SetBusy(busy_elsewhere, true);
    Run run;
    run.outcome = replugger.Replug("1-1.2", [&] { return clock.Look(); }, {});
    run.switches = power.switches;
    run.peer_followed = clock.PeerFollowed();
    return run;
  }

  test::ScratchDir dir_;
  fs::path root_;
};

TEST_F(PowerReplugTest, SwitchesOffWaitsTheOffTimeAndSwitchesOnUntilTheChipIsBackInRom) {
  const Run run = Replug();
  ASSERT_TRUE(run.outcome.ok) << run.outcome.why;
  ASSERT_EQ(run.switches.size(), 2u);
  EXPECT_TRUE(run.switches[0].off);
  EXPECT_FALSE(run.switches[1].off);
  EXPECT_GE(run.switches[1].at - run.switches[0].at, PowerTimings{}.off_time);
  EXPECT_EQ(FakeKernelClock::Read(PortDir(2)), "0");
  EXPECT_EQ(FakeKernelClock::Read(PortDir(1)), "0");  // the neighbours are never touched
  EXPECT_EQ(FakeKernelClock::Read(PortDir(3)), "0");
}

TEST_F(PowerReplugTest, AUsb3PortSwitchesItsPeerWithIt) {
  const fs::path peer = root_ / "bus/usb/devices/2-1/2-1:1.0/2-1-port2";
  MakePort(peer);
  fs::create_symlink(peer, PortDir(2) / "peer");
  const Run run = Replug({}, {}, peer);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.why;
  EXPECT_TRUE(run.peer_followed);
  EXPECT_EQ(FakeKernelClock::Read(peer), "0");
}

TEST_F(PowerReplugTest, AGangedHubIsNotSwitchedWhileAnotherOfItsPortsIsBusy) {
  SetHubDescriptor(0x00);
  Run run = Replug({}, "1-1.3");
  EXPECT_FALSE(run.outcome.ok);
  EXPECT_TRUE(run.switches.empty());
  EXPECT_NE(run.outcome.why.find("another of its ports is busy"), std::string::npos);
  // alone on the hub it is switched
  EXPECT_TRUE(Replug().outcome.ok);
  // a hub that switches ports one by one does not wait for its neighbours
  SetHubDescriptor(0x01);
  EXPECT_TRUE(Replug({}, "1-1.3").outcome.ok);
  // a hub that does not say how it switches counts as ganged
  fs::remove(Device("1-1") / "descriptors");
  EXPECT_FALSE(Replug({}, "1-1.3").outcome.ok);
}

TEST_F(PowerReplugTest, EveryFailureSaysWhyAndLeavesThePowerOn) {
  struct Case {
    const char* name;
    std::function<void(PowerReplugTest&)> setup;
    KernelKnobs knobs;
    const char* why;
    bool switch_tried;
  };
  const std::vector<Case> cases = {
      {"no port link", [](PowerReplugTest& t) { fs::remove(t.Device("1-1.2") / "port"); }, {},
       "has no hub port", false},
      {"no disable attribute", [](PowerReplugTest& t) { fs::remove(t.PortDir(2) / "disable"); },
       {}, "offers no `disable`", false},
      {"disable cannot be written",
       [](PowerReplugTest& t) {
         fs::remove(t.PortDir(2) / "disable");
         fs::create_directory(t.PortDir(2) / "disable");
       },
       {}, "cannot switch it off", true},
      {"the device stays", nullptr, {.device_stays = true}, "did not leave the bus", true},
      {"the hub powers on again", nullptr, {.hub_powers_on_again = true},
       "turned the power on again by itself", true},
      {"back running its firmware", nullptr, {.comes_back = ChipSeen::kFirmware},
       "came back running its firmware", true},
      {"back on another port", nullptr, {.comes_back = ChipSeen::kElsewhere},
       "came back on another port", true},
      {"never back", nullptr, {.comes_back = ChipSeen::kNone}, "did not come back", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build();
    if (c.setup) c.setup(*this);
    const Run run = Replug(c.knobs);
    EXPECT_FALSE(run.outcome.ok);
    EXPECT_NE(run.outcome.why.find(c.why), std::string::npos) << run.outcome.why;
    EXPECT_EQ(!run.switches.empty(), c.switch_tried);
    if (fs::is_regular_file(PortDir(2) / "disable")) {
      EXPECT_EQ(FakeKernelClock::Read(PortDir(2)), "0");
    }
  }
}

TEST(DevicePlace, NamesTheHubAndPortOfAUsbDevice) {
  EXPECT_EQ(PlaceOfDevice("1-4.2")->hub, "1-4");
  EXPECT_EQ(PlaceOfDevice("1-4.2")->port, 2);
  EXPECT_EQ(PlaceOfDevice("3-1.4.7")->hub, "3-1.4");
  EXPECT_EQ(PlaceOfDevice("2-3")->hub, "usb2");
  EXPECT_EQ(PlaceOfDevice("2-3")->port, 3);
  EXPECT_FALSE(PlaceOfDevice("sim-1"));
  EXPECT_FALSE(PlaceOfDevice("1-"));
}

}  // namespace
}  // namespace qz::station
