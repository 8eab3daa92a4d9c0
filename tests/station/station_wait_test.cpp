// A station's ports between units, over virtual chips on a manual clock: a waiting port sleeps
// until the bus changes (it never polls the clock away), and with --all-ports a port whose first
// chip comes after the start is taken up.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "hid/port_scoped_backend.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"
#include "sim/virtual_chip.h"
#include "station/station.h"
#include "support/sample_images.h"

namespace qz::station {
namespace {

class Watcher final : public StationObserver {
 public:
  std::function<void(const std::string&, PortState)> on_state;
  std::function<void(const UnitReport&)> on_unit;

  void OnPortState(const std::string& port, PortState state) override {
    if (on_state) on_state(port, state);
  }
  void OnProgress(const std::string&, int) override {}
  void OnMessage(const std::string&, const MessageBoxRequest&) override {}
  void OnUnitStarted(const std::string&, const std::string&) override {}
  void OnUnitFinished(const UnitReport& unit) override {
    {
      std::lock_guard lock(mutex);
      units.push_back(unit);
    }
    if (on_unit) on_unit(unit);
  }
  void OnTotals(const StationTotals&) override {}
  void OnProblem(const std::string& text) override {
    std::lock_guard lock(mutex);
    problems.push_back(text);
  }

  std::mutex mutex;
  std::vector<UnitReport> units;
  std::vector<std::string> problems;
};

// Takes each finished unit off its port and brings nothing: the test plugs the next one in.
class TakeAway final : public UnitHandler {
 public:
  explicit TakeAway(sim::VirtualChip& chip) : chip_(chip) {}
  void UnitFinished(const std::string&) override { chip_.SetPresent(false); }
  void Tick(const std::string&) override {}

 private:
  sim::VirtualChip& chip_;
};

class StationWait : public testing::Test {
 protected:
  StationWait() { test::WriteBytes(Image(), test::SampleBytes(SampleVariant::kValid)); }
  std::string Image() const { return dir_.File("image.bin"); }
  StationConfig Config(std::vector<std::string> ports, int units) const {
    StationConfig config;
    config.ports = std::move(ports);
    config.choices.image = Image();
    config.loop = true;
    config.units = units;
    config.poll = std::chrono::hours(1);  // a port that polled would move the clock by hours
    return config;
  }

  ManualClock clock_;
  test::ScratchDir dir_;
};

TEST_F(StationWait, APortBetweenUnitsSleepsUntilTheNextChipArrives) {
  sim::VirtualChip chip(clock_);
  sim::SimHidBackend bus(chip, clock_);
  sim::SimHotplugSource hotplug(&chip);
  TakeAway handler(chip);
  Watcher watcher;
  std::mutex mutex;
  std::condition_variable changed;
  int waits = 0;
  Clock::Duration waiting_since{};
  watcher.on_state = [&](const std::string&, PortState state) {
    if (state != PortState::kWaiting) return;
    std::lock_guard lock(mutex);
    if (++waits == 2) waiting_since = clock_.Now();  // the first unit is done and gone
    changed.notify_all();
  };
  Station station(bus, &hotplug, clock_, Config({sim::kChipPort}, 2), watcher, nullptr, &handler);
  int exit = -1;
  std::thread runner([&] { exit = station.Run(); });
  Clock::Duration plugged_at{};
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return waits >= 2; });
    plugged_at = clock_.Now();
  }
  chip.SetEeprom(std::vector<std::uint8_t>(sim::kEepromBytes, 0xFF));
  chip.SetPresent(true);  // the arrival event wakes the port
  runner.join();

  EXPECT_EQ(exit, 0);
  ASSERT_EQ(watcher.units.size(), 2u);
  for (const UnitReport& unit : watcher.units) EXPECT_TRUE(unit.passed) << unit.message;
  // nothing but the arrival ended the wait: no time passed on the clock while the port waited
  EXPECT_EQ(plugged_at, waiting_since);
}

TEST_F(StationWait, APortWhoseFirstChipComesLaterIsTakenUp) {
  sim::VirtualChip first(clock_);
  sim::VirtualChip late(clock_);
  late.SetPresent(false);
  sim::SimHidBackend first_bus(first, clock_, "sim:0", "sim-1");
  sim::SimHidBackend late_bus(late, clock_, "sim:1", "sim-2");
  MergedHidBackend bus({&first_bus, &late_bus});
  sim::SimHotplugSource hotplug(std::vector<sim::VirtualChip*>{&first, &late});
  Watcher watcher;
  // the late chip arrives once the first port's unit is done
  watcher.on_unit = [&](const UnitReport& unit) {
    if (unit.port == "sim-1") late.SetPresent(true);
  };
  StationConfig config = Config({"sim-1"}, 2);
  config.take_up_new_ports = true;
  Station station(bus, &hotplug, clock_, config, watcher, nullptr, nullptr);
  EXPECT_EQ(station.Run(), 0);
  ASSERT_EQ(watcher.units.size(), 2u);
  EXPECT_EQ(watcher.units[0].port, "sim-1");
  EXPECT_EQ(watcher.units[1].port, "sim-2");
  EXPECT_TRUE(watcher.units[1].passed) << watcher.units[1].message;
}

// Has no serial number for the first `waits` units asked for (the line is out of reach).
class LateNumbers final : public UnitRecorder {
 public:
  explicit LateNumbers(int waits) : waits_(waits) {}
  std::optional<Started> Begin(const std::string&, std::string* error,
                               Failure* failure) override {
    if (++asked <= waits_) {
      *error = "no serial number for now";
      *failure = Failure::kWait;
      return std::nullopt;
    }
    return Started{asked, "L7-0001"};
  }
  bool Complete(std::int64_t, const UnitReport&, std::uint8_t, std::uint32_t,
                std::string*) override {
    return true;
  }
  int asked = 0;

 private:
  const int waits_;
};

TEST_F(StationWait, APortWithoutASerialNumberWaitsAndStartsAgainByItself) {
  sim::VirtualChip chip(clock_);
  sim::SimHidBackend bus(chip, clock_);
  Watcher watcher;
  LateNumbers recorder(3);
  StationConfig config = Config({sim::kChipPort}, 1);
  config.begin_retry = std::chrono::seconds(5);
  Station station(bus, nullptr, clock_, config, watcher, &recorder, nullptr);
  const Clock::Duration began = clock_.Now();
  EXPECT_EQ(station.Run(), 0);  // the station did not stop for it
  ASSERT_EQ(watcher.units.size(), 1u);
  EXPECT_TRUE(watcher.units[0].passed) << watcher.units[0].message;
  EXPECT_EQ(recorder.asked, 4);
  EXPECT_GE(clock_.Now() - began, std::chrono::seconds(15));
  // said once while waiting, once when units start again
  const std::vector<std::string> expected{std::string(sim::kChipPort) + ": no serial number for now",
                                          std::string(sim::kChipPort) + ": units start again"};
  EXPECT_EQ(watcher.problems, expected);
}

}  // namespace
}  // namespace qz::station
