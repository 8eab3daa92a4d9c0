// Which re-plug handler each --replug mode gets, and what power and auto do when the port's
// power cannot bring the chip back.
#include "station/replug_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "hid/chip_identities.h"
#include "hid/hid_backend.h"
#include "sim/sim_hid_backend.h"
#include "sim/virtual_chip.h"
#include "virtual_station/virtual_port_power.h"

namespace qz::station {
namespace {

// A bus with one chip on "1-2", in ROM mode once its port's power has gone off and on.
class OneChipBus final : public HidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override {
    const std::uint16_t product = replugged ? kRomProductId : kFirmwareProductId;
    return {HidDeviceInfo{"/dev/hidraw0", kQzVendorId, product, "1-2", ""}};
  }
  std::unique_ptr<HidDevice> Open(const std::string& /*path*/) override { return nullptr; }
  void NotePower(bool on) override {
    if (on) replugged = true;
  }
  bool replugged = false;
};

// A port whose switch works, or that cannot be found (`findable` false).
class OnePort final : public PortPower {
 public:
  explicit OnePort(bool findable) : findable_(findable) {}
  std::optional<HubPort> Find(const std::string& device, std::string* why) override {
    if (!findable_) {
      *why = "no power switch on " + device;
      return std::nullopt;
    }
    HubPort port;
    port.device = port.name = port.hub = port.handle = device;
    port.ganged = false;
    return port;
  }
  bool Switch(const HubPort& /*port*/, bool off, std::string* /*why*/) override {
    off_ = off;
    return true;
  }
  std::optional<bool> IsOff(const HubPort& /*port*/) override { return off_; }
  bool DevicePresent(const HubPort& /*port*/) override { return !off_; }

 private:
  bool findable_;
  bool off_ = false;
};

struct Said {
  std::vector<std::string> lines;
  ReplugResult Replug(ReplugHandler& handler, HidBackend& bus) {
    return handler.Replug(ReplugCall{bus, "1-2", {},
                                     [this](const std::string& text) { lines.push_back(text); },
                                     nullptr});
  }
};

TEST(ReplugHandlerTest, EachModeGetsItsHandlerAndOnlyTheOperatorsSwitchesNothing) {
  OneChipBus bus;
  for (const ReplugMode mode : {ReplugMode::kOperator, ReplugMode::kPower, ReplugMode::kAuto}) {
    const std::unique_ptr<ReplugHandler> handler = MakeReplugHandler(mode, nullptr);
    EXPECT_EQ(handler->Mode(), mode) << ReplugModeName(mode);
    EXPECT_EQ(handler->NeedsDevice(), mode != ReplugMode::kOperator) << ReplugModeName(mode);
  }
  Said said;
  const ReplugResult done = said.Replug(*MakeReplugHandler(ReplugMode::kOperator, nullptr), bus);
  EXPECT_EQ(done.by, ReplugBy::kOperator);
  EXPECT_TRUE(said.lines.empty());
  EXPECT_FALSE(bus.replugged);
}

TEST(ReplugHandlerTest, PowerAndAutoSwitchThePortUntilTheChipIsBackInRomMode) {
  for (const ReplugMode mode : {ReplugMode::kPower, ReplugMode::kAuto}) {
    OneChipBus bus;
    OnePort power(true);
    ManualClock clock;
    PowerReplugger replugger(power, clock, PowerTimings{});
    const std::unique_ptr<ReplugHandler> handler = MakeReplugHandler(mode, &replugger);
    Said said;
    EXPECT_EQ(said.Replug(*handler, bus).by, ReplugBy::kPower) << ReplugModeName(mode);
    EXPECT_TRUE(bus.replugged);
    EXPECT_EQ(said.lines,
              std::vector<std::string>{"1-2: switching the port's power off and on again"});
  }
}

TEST(ReplugHandlerTest, AVirtualSessionsPortPowerBringsTheVirtualChipBack) {
  ManualClock clock;
  sim::VirtualChip chip(clock);
  chip.SetEeprom(std::vector<std::uint8_t>(sim::kEepromBytes, 0xFF));  // erased: ROM mode
  sim::SimHidBackend bus(chip, clock, sim::kChipPath, "1-2");
  VirtualPortPower power(
      [&chip](const std::string& port) { return port == "1-2" ? &chip : nullptr; });
  PowerReplugger replugger(power, clock, PowerTimings{});
  Said said;
  EXPECT_EQ(said.Replug(*MakeReplugHandler(ReplugMode::kAuto, &replugger), bus).by,
            ReplugBy::kPower);
  EXPECT_TRUE(chip.Present());
}

TEST(ReplugHandlerTest, WithoutPortPowerPowerFailsTheUnitAndAutoFallsBackToTheOperator) {
  OneChipBus bus;
  // no port power on this platform (Windows)
  Said power_said;
  const ReplugResult failed =
      power_said.Replug(*MakeReplugHandler(ReplugMode::kPower, nullptr), bus);
  EXPECT_EQ(failed.by, ReplugBy::kFailed);
  EXPECT_EQ(failed.failure, "the chip could not be re-plugged by switching its port's power: "
                            "this platform cannot switch a port's power");
  EXPECT_EQ(power_said.lines, std::vector<std::string>{failed.failure});

  const std::unique_ptr<ReplugHandler> automatic = MakeReplugHandler(ReplugMode::kAuto, nullptr);
  Said auto_said;
  const ReplugResult fallback = auto_said.Replug(*automatic, bus);
  EXPECT_EQ(fallback.by, ReplugBy::kOperator);
  EXPECT_EQ(fallback.fallback,
            "the operator re-plugs the chip: this platform cannot switch a port's power");

  // a port without a switch: the reason is told once a port
  OnePort unswitchable(false);
  ManualClock clock;
  PowerReplugger replugger(unswitchable, clock, PowerTimings{});
  const std::unique_ptr<ReplugHandler> handler = MakeReplugHandler(ReplugMode::kAuto, &replugger);
  Said said;
  const ReplugResult first = said.Replug(*handler, bus);
  const ReplugResult second = said.Replug(*handler, bus);
  EXPECT_EQ(first.by, ReplugBy::kOperator);
  EXPECT_EQ(first.fallback, "the operator re-plugs the chip: no power switch on 1-2");
  EXPECT_EQ(second.by, ReplugBy::kOperator);
  EXPECT_EQ(second.fallback, "");
  EXPECT_FALSE(bus.replugged);
}

}  // namespace
}  // namespace qz::station
