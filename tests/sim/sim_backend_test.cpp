// The simulated bus: listing order with extra devices, opening, and two threads on one chip.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/chip_helpers.h"

namespace qz::sim::test {
namespace {

TEST(SimBackend, ExtraDevicesAreListedAroundTheChipInOrder) {
  Bench bench;
  bench.backend.AddExtraDevice(0x046D, 0xC31C, ExtraDevice::kUnopenable, true);
  bench.backend.AddExtraDevice(0x1D6C, 0x6706, ExtraDevice::kSilent, false);
  bench.backend.AddExtraDevice(0x1D6C, 0x6841, ExtraDevice::kSilent, true);
  const std::vector<HidDeviceInfo> devices = bench.backend.Enumerate();
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0].path, "sim:extra:0");
  EXPECT_EQ(devices[0].vendor_id, 0x046D);
  EXPECT_EQ(devices[1].path, "sim:extra:2");
  EXPECT_EQ(devices[2].path, kChipPath);
  EXPECT_EQ(devices[3].path, "sim:extra:1");

  bench.chip.SetPresent(false);
  EXPECT_EQ(bench.backend.Enumerate().size(), 3u);
}

TEST(SimBackend, ExtraDevicesOpenAsTheirBehaviourSays) {
  Bench bench;
  bench.backend.AddExtraDevice(0x046D, 0xC31C, ExtraDevice::kUnopenable);
  bench.backend.AddExtraDevice(0x1D6C, 0x6706, ExtraDevice::kSilent);
  EXPECT_EQ(bench.backend.Open("sim:extra:0"), nullptr);
  EXPECT_EQ(bench.backend.Open("sim:nothing"), nullptr);
  auto silent = bench.backend.Open("sim:extra:1");
  ASSERT_NE(silent, nullptr);
  EXPECT_EQ(silent->Write(RegisterRead(1, 0x00B9)), 64);
  const auto before = bench.clock.Now();
  EXPECT_TRUE(bench.Next(*silent).empty());
  EXPECT_EQ(bench.clock.Now() - before, std::chrono::milliseconds(5000));
  EXPECT_EQ(bench.backend.OpenAttempts(),
            (std::vector<std::string>{"sim:extra:0", "sim:nothing", "sim:extra:1"}));
}

TEST(SimBackend, RecordedReportsAreTheBytesTheChipTook) {
  Bench bench;
  bench.chip.SetRecordReports(true);
  auto device = bench.Open();
  Bytes longer = RegisterRead(1, 0x00B1);
  longer.resize(80, 0x77);  // the chip takes one 64-byte report
  EXPECT_EQ(device->Write(longer), 64);
  EXPECT_EQ(device->Write(Bytes{0x00, 0x02, 0x22, 0x00, 0xB9}), 5);
  const auto reports = bench.chip.WrittenReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], RegisterRead(1, 0x00B1));
  EXPECT_EQ(reports[1], RegisterRead(2, 0x00B9));
  EXPECT_EQ(bench.Next(*device), Reply(1, 0));
  EXPECT_EQ(bench.Next(*device), Reply(2, 0x67));
  EXPECT_EQ(device->Write(Bytes{}), -1);
}

// A worker-like thread moves EEPROM bytes while a UI-like thread lists, opens and pokes the
// chip. Run under ThreadSanitizer this checks the chip's locking.
TEST(SimBackend, TwoThreadsShareOneChip) {
  Bench bench;
  constexpr int kTransfers = 300;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};

  std::thread worker([&] {
    auto device = bench.Open();
    std::uint8_t sequence = 1;
    for (int i = 0; i < kTransfers; ++i) {
      const auto address = static_cast<std::uint16_t>(0x1000 + i * 8);
      const Bytes data(8, static_cast<std::uint8_t>(i));
      if (bench.Exchange(*device, EepromWrite(sequence, address, data)) != Reply(sequence, 8)) {
        ++failures;
      }
      sequence = static_cast<std::uint8_t>(sequence % 252 + 1);
      if (bench.Exchange(*device, EepromRead(sequence, address, 8)) != Reply(sequence, 8, data)) {
        ++failures;
      }
      sequence = static_cast<std::uint8_t>(sequence % 252 + 1);
    }
    done = true;
  });
  int rounds = 0;
  while (!done || rounds == 0) {
    EXPECT_EQ(bench.backend.Enumerate().size(), 1u);
    auto probe = bench.Open();  // opened and closed like a device probe; never written to
    EXPECT_NE(probe, nullptr);
    bench.chip.SetRegister(0x00C4, static_cast<std::uint8_t>(rounds));
    (void)bench.chip.Eeprom();
    (void)bench.chip.ProductId();
    ++rounds;
  }
  worker.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(bench.chip.EepromTransfers(), 2u * kTransfers);
}

}  // namespace
}  // namespace qz::sim::test
