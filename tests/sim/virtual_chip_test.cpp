// The virtual chip as the host sees it: request decoding, replies byte for byte, modes and
// identities, erase and re-plug.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/hotplug.h"
#include "sim/sim_hotplug.h"
#include "sim/chip_helpers.h"

namespace qz::sim::test {
namespace {

TEST(VirtualChipRequests, EepromWriteIsAnsweredWithItsLengthAndStored) {
  Bench bench;
  auto device = bench.Open();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(0x21, 0x0123, {1, 2, 3})), Reply(0x21, 3));
  const Bytes eeprom = bench.chip.Eeprom();
  EXPECT_EQ(Bytes(eeprom.begin() + 0x122, eeprom.begin() + 0x127),
            (Bytes{0xFF, 1, 2, 3, 0xFF}));
  EXPECT_EQ(bench.chip.EepromTransfers(), 1u);
}

TEST(VirtualChipRequests, EepromReadRepliesWithTheBytesFromOffsetNine) {
  Bench bench;
  Bytes content(16);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  bench.chip.SetEeprom(content, 0x7FF0);
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, EepromRead(0xFC, 0x7FF0, 16)), Reply(0xFC, 16, content));
  EXPECT_EQ(bench.Exchange(*device, EepromRead(0x01, 0x7FF4, 3)),
            Reply(0x01, 3, {content[4], content[5], content[6]}));
}

TEST(VirtualChipRequests, AddressesWrapAtTheEepromSize) {
  Bench bench;
  auto device = bench.Open();
  ASSERT_EQ(bench.Exchange(*device, EepromWrite(1, 0x7FFE, {0xA1, 0xA2, 0xA3, 0xA4})).size(), 64u);
  const Bytes eeprom = bench.chip.Eeprom();
  EXPECT_EQ(eeprom[0x7FFE], 0xA1);
  EXPECT_EQ(eeprom[0x7FFF], 0xA2);
  EXPECT_EQ(eeprom[0x0000], 0xA3);
  EXPECT_EQ(eeprom[0x0001], 0xA4);
}

TEST(VirtualChipRequests, RegistersReadAsAFreshChipHoldsThem) {
  struct Case {
    std::uint16_t address;
    std::uint8_t value;
  };
  const Case cases[] = {
      {0x00B1, 0x00},  // status: no fault
      {0x00B9, 0x67},  // identity high byte
      {0x00B8, 0xC3},  // identity low byte with revision 3
      {0x0400, 0x0D},  // write-mode register: bit 0 set
      {0x00C4, 0x00},
      {0x005C, 0x00},  // any other register
      {0x1234, 0x00},
  };
  Bench bench;
  auto device = bench.Open();
  std::uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "register 0x" << std::hex << c.address);
    EXPECT_EQ(bench.Exchange(*device, RegisterRead(sequence, c.address)), Reply(sequence, c.value));
    ++sequence;
  }
}

TEST(VirtualChipRequests, RegisterWritesStickOnlyInTheControlRegisters) {
  Bench bench;
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, RegisterWrite(7, 0x0400, 0x0C)), Reply(7, 0x0C));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(8, 0x0400)), Reply(8, 0x0C));
  EXPECT_EQ(bench.Exchange(*device, RegisterWrite(9, 0x0055, 0x77)), Reply(9, 0x77));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(10, 0x0055)), Reply(10, 0x00));
  EXPECT_EQ(bench.Exchange(*device, RegisterWrite(11, 0x00B1, 0x44)), Reply(11, 0x44));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(12, 0x00B1)), Reply(12, 0x00));
}

TEST(VirtualChipRequests, ModePreparationWritesC4AndAnswersWithF5) {
  Bench bench;
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, ModePreparation()), Reply(0xF5, 0x0C));
  EXPECT_EQ(bench.chip.Register(0x00C4), 0x0C);
}

TEST(VirtualChipRequests, RequestsItDoesNotUnderstandAreIgnored) {
  struct Case {
    const char* name;
    Bytes request;
  };
  Bytes wrong_report_id = EepromWrite(1, 0x10, {9});
  wrong_report_id[0] = 0x01;
  const std::vector<Case> cases = {
      {"unknown command", Request({0x00, 0x01, 0x13, 0xA0, 0xA0, 0x00, 0x10, 0x01, 0x09})},
      {"write with the read mode byte", Request({0x00, 0x01, 0x11, 0xE4, 0xA0, 0x00, 0x10, 0x01, 9})},
      {"read with the write mode byte", Request({0x00, 0x01, 0x12, 0xA0, 0xA0, 0x00, 0x10, 0x01})},
      {"wrong device byte", Request({0x00, 0x01, 0x11, 0xA0, 0xA1, 0x00, 0x10, 0x01, 0x09})},
      {"write of no bytes", Request({0x00, 0x01, 0x11, 0xA0, 0xA0, 0x00, 0x10, 0x00})},
      {"write of nine bytes", Request({0x00, 0x01, 0x11, 0xA0, 0xA0, 0x00, 0x10, 0x09, 1, 2, 3,
                                       4, 5, 6, 7, 8, 9})},
      {"read longer than a reply holds", EepromRead(0x01, 0x10, 56)},
      {"read of no bytes", EepromRead(0x01, 0x10, 0)},
      {"erase without its key", Request({0x00, 0xF5, 0xAB, 0xCE, 0x00})},
      {"report ID 1", wrong_report_id},
      {"all zeros", Bytes(64, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    auto device = bench.Open();
    EXPECT_EQ(device->Write(c.request), 64);
    const auto before = bench.clock.Now();
    EXPECT_TRUE(bench.Next(*device).empty());
    EXPECT_EQ(bench.clock.Now() - before, std::chrono::milliseconds(5000));  // a full time-out
    EXPECT_EQ(bench.chip.Eeprom(), Bytes(kEepromBytes, 0xFF));
    EXPECT_EQ(bench.chip.EepromTransfers(), 0u);
    EXPECT_EQ(bench.chip.EraseReports(), 0u);
  }
}

TEST(VirtualChipRequests, ShortReportsCarryOnlyWhatFits) {
  ChipOptions options;
  options.input_report_length = 20;
  options.output_report_length = 12;
  Bench bench(options);
  auto device = bench.Open();
  EXPECT_EQ(device->InputReportLength(), 20);
  EXPECT_EQ(device->OutputReportLength(), 12);
  // 4 data bytes end at offset 11: they fit; 8 would not and the write is ignored
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(1, 0x20, {1, 2, 3, 4})).size(), 20u);
  EXPECT_EQ(device->Write(EepromWrite(2, 0x30, {1, 2, 3, 4, 5, 6, 7, 8})), 12);
  EXPECT_TRUE(bench.Next(*device).empty());
  // a reply of 20 bytes holds 11 data bytes, not 16
  const Bytes reply = bench.Exchange(*device, EepromRead(3, 0x20, 11));
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(Bytes(reply.begin() + 9, reply.begin() + 13), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(device->Write(EepromRead(4, 0x20, 16)), 12);
  EXPECT_TRUE(bench.Next(*device).empty());
}

TEST(VirtualChipRequests, RepliesQueueInOrderAndEveryOpenHandleGetsThem) {
  Bench bench;
  auto first = bench.Open();
  auto second = bench.Open();
  ASSERT_EQ(first->Write(RegisterRead(1, 0x00B9)), 64);
  ASSERT_EQ(first->Write(RegisterRead(2, 0x00B8)), 64);
  for (HidDevice* device : {first.get(), second.get()}) {
    EXPECT_EQ(bench.Next(*device), Reply(1, 0x67));
    EXPECT_EQ(bench.Next(*device), Reply(2, 0xC3));
  }
  // a handle opened later starts with an empty queue
  auto third = bench.Open();
  EXPECT_TRUE(bench.Next(*third).empty());
}

// --- modes and identities --------------------------------------------------------------

struct IdentityCase {
  const char* name;
  Bytes eeprom;
  std::optional<ChipMode> forced;
  ChipMode mode;
  std::uint16_t vendor_id;
  std::uint16_t product_id;
};

std::vector<IdentityCase> IdentityCases() {
  std::vector<IdentityCase> cases;
  cases.push_back({"blank EEPROM", Bytes(kEepromBytes, 0xFF), std::nullopt, ChipMode::kRom,
                   0x1D6C, 0x6706});
  cases.push_back({"header without descriptor", FirmwareEeprom(), std::nullopt,
                   ChipMode::kFirmware, 0x1D6C, 0x6841});
  Bytes with_descriptor = FirmwareEeprom();
  PutHsDescriptor(with_descriptor, 0x200, 0x0ABC, 0x1234);
  cases.push_back({"descriptor after the tag", with_descriptor, std::nullopt,
                   ChipMode::kFirmware, 0x0ABC, 0x1234});
  Bytes two_tags = with_descriptor;
  PutHsDescriptor(two_tags, 0x400, 0x1111, 0x2222);
  cases.push_back({"first tag counts", two_tags, std::nullopt, ChipMode::kFirmware, 0x0ABC,
                   0x1234});
  Bytes fits_exactly = FirmwareEeprom();
  PutHsDescriptor(fits_exactly, kEepromBytes - 20, 0x0D8C, 0x0014);
  cases.push_back({"descriptor IDs end at the last byte", fits_exactly, std::nullopt,
                   ChipMode::kFirmware, 0x0D8C, 0x0014});
  Bytes cut_off = FirmwareEeprom();
  PutHsDescriptor(cut_off, kEepromBytes - 19, 0x0D8C, 0x0014);
  cases.push_back({"descriptor cut off by the end", cut_off, std::nullopt, ChipMode::kFirmware,
                   0x1D6C, 0x6841});
  Bytes wrong_variant = with_descriptor;
  wrong_variant[3] = 0x01;
  cases.push_back({"header with another variant", wrong_variant, std::nullopt, ChipMode::kRom,
                   0x1D6C, 0x6706});
  cases.push_back({"forced firmware on a blank EEPROM", Bytes(kEepromBytes, 0xFF),
                   ChipMode::kFirmware, ChipMode::kFirmware, 0x1D6C, 0x6841});
  cases.push_back({"forced ROM over a header", with_descriptor, ChipMode::kRom, ChipMode::kRom,
                   0x1D6C, 0x6706});
  return cases;
}

TEST(VirtualChipIdentity, ModeAndIdentityFollowTheEepromAtPlugIn) {
  for (const IdentityCase& c : IdentityCases()) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    VirtualChip chip(clock);
    chip.SetEeprom(c.eeprom);
    chip.ForceMode(c.forced);
    chip.Replug();
    EXPECT_EQ(chip.Mode(), c.mode);
    EXPECT_EQ(chip.VendorId(), c.vendor_id);
    EXPECT_EQ(chip.ProductId(), c.product_id);
    SimHidBackend backend(chip, clock);
    const std::vector<HidDeviceInfo> devices = backend.Enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].path, kChipPath);
    EXPECT_EQ(devices[0].vendor_id, c.vendor_id);
    EXPECT_EQ(devices[0].product_id, c.product_id);
  }
}

TEST(VirtualChipIdentity, WritingTheEepromChangesNothingUntilTheNextPlugIn) {
  Bench bench;
  auto device = bench.Open();
  ASSERT_FALSE(bench.Exchange(*device, EepromWrite(1, 0, {'W', 'T', 'C', 0x00, 'O'})).empty());
  EXPECT_EQ(bench.chip.ProductId(), 0x6706);
  bench.chip.Replug();
  EXPECT_EQ(bench.chip.Mode(), ChipMode::kFirmware);
  EXPECT_EQ(bench.chip.ProductId(), 0x6841);
}

// --- erase and re-plug -----------------------------------------------------------------

TEST(VirtualChipErase, SecondEraseWipesTheHeaderAndReplugsInRomMode) {
  Bench bench;
  Bytes eeprom = FirmwareEeprom();
  PutHsDescriptor(eeprom, 0x100, 0x1D6C, 0x6800);
  bench.chip.SetEeprom(eeprom);
  bench.chip.Replug();
  ASSERT_EQ(bench.chip.ProductId(), 0x6800);
  SimHotplugSource hotplug(&bench.chip);
  ASSERT_TRUE(hotplug.Start());

  auto device = bench.Open();
  const auto generation = bench.chip.Generation();
  EXPECT_EQ(device->Write(EraseCommand()), 64);
  EXPECT_TRUE(bench.Next(*device).empty()) << "the erase command is not answered";
  EXPECT_EQ(bench.chip.Eeprom(), eeprom);
  EXPECT_TRUE(hotplug.TakeEvents().empty());

  EXPECT_EQ(device->Write(EraseCommand()), 64);
  Bytes expected = eeprom;
  std::fill_n(expected.begin(), 8, 0xFF);
  EXPECT_EQ(bench.chip.Eeprom(), expected);
  EXPECT_EQ(bench.chip.Mode(), ChipMode::kRom);
  EXPECT_EQ(bench.chip.Generation(), generation + 1);

  const std::vector<DeviceChange> events = hotplug.TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_type, kDbtDeviceRemoveComplete);
  EXPECT_EQ(events[1].event_type, kDbtDeviceArrival);
  for (const DeviceChange& event : events) {
    EXPECT_EQ(event.header.device_type, kDbtDevtypDeviceInterface);
  }

  // the old handle is gone for good
  Bytes buffer(64);
  EXPECT_EQ(device->Write(RegisterRead(1, 0x00B9)), -1);
  EXPECT_EQ(device->Read(buffer, kTimeout), 0);

  const std::vector<HidDeviceInfo> devices = bench.backend.Enumerate();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].vendor_id, 0x1D6C);
  EXPECT_EQ(devices[0].product_id, 0x6706);
  auto fresh = bench.Open();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(bench.Exchange(*fresh, RegisterRead(2, 0x00B9)), Reply(2, 0x67));
}

TEST(VirtualChipErase, ReplugRestoresPowerOnRegistersAndCountsErasesAfresh) {
  Bench bench;
  auto device = bench.Open();
  ASSERT_FALSE(bench.Exchange(*device, RegisterWrite(1, 0x0400, 0x00)).empty());
  EXPECT_EQ(device->Write(EraseCommand()), 64);
  bench.chip.Replug();  // the operator re-plugs after one erase: the count starts over
  EXPECT_EQ(bench.chip.Register(0x0400), 0x0D);
  auto again = bench.Open();
  const auto generation = bench.chip.Generation();
  EXPECT_EQ(again->Write(EraseCommand()), 64);
  EXPECT_EQ(bench.chip.Generation(), generation);
  EXPECT_EQ(again->Write(EraseCommand()), 64);
  EXPECT_EQ(bench.chip.Generation(), generation + 1);
  EXPECT_EQ(bench.chip.EraseReports(), 3u);
}

TEST(VirtualChipErase, AbsentChipIsNotListedAndCannotBeOpened) {
  Bench bench;
  SimHotplugSource hotplug(&bench.chip);
  ASSERT_TRUE(hotplug.Start());
  auto device = bench.Open();
  bench.chip.SetPresent(false);
  EXPECT_TRUE(bench.backend.Enumerate().empty());
  EXPECT_EQ(bench.Open(), nullptr);
  EXPECT_EQ(device->Write(RegisterRead(1, 0x00B1)), -1);
  bench.chip.SetPresent(true);
  EXPECT_EQ(bench.backend.Enumerate().size(), 1u);
  const std::vector<DeviceChange> events = hotplug.TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_type, kDbtDeviceRemoveComplete);
  EXPECT_EQ(events[1].event_type, kDbtDeviceArrival);
}

}  // namespace
}  // namespace qz::sim::test
