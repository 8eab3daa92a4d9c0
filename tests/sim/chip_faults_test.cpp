// Fault texts and what each fault does to the chip's answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hid/hotplug.h"

#include "sim/chip_helpers.h"

namespace qz::sim::test {
namespace {

struct GoodFault {
  const char* text;
  Fault fault;
};

TEST(FaultText, AcceptedForms) {
  const GoodFault cases[] = {
      {"status=1", {Fault::Kind::kStatus, 1}},
      {"status=255", {Fault::Kind::kStatus, 255}},
      {"status=0x1F", {Fault::Kind::kStatus, 0x1F}},
      {"identity=67D2", {Fault::Kind::kIdentity, 0x67D2}},
      {"identity=0x67d2", {Fault::Kind::kIdentity, 0x67D2}},
      {"identity=0", {Fault::Kind::kIdentity, 0}},
      {"no-reply@1", {Fault::Kind::kNoReply, 1}},
      {"no-reply@0x10", {Fault::Kind::kNoReply, 16}},
      {"stale@4097", {Fault::Kind::kStale, 4097}},
      {"corrupt@0", {Fault::Kind::kCorrupt, 0}},
      {"corrupt@32767", {Fault::Kind::kCorrupt, 32767}},
      {"corrupt@0x7FF8", {Fault::Kind::kCorrupt, 0x7FF8}},
      {"no-reply-reg=B9", {Fault::Kind::kNoReplyRegister, 0xB9}},
      {"no-reply-reg=0x0400", {Fault::Kind::kNoReplyRegister, 0x0400}},
      {"absent", {Fault::Kind::kAbsent, 0}},
      {"lie@0x7FFF", {Fault::Kind::kLie, 0x7FFF}},
      {"garbage@7", {Fault::Kind::kGarbage, 7}},
      {"dup@2052", {Fault::Kind::kDuplicate, 2052}},
      {"unplug@1", {Fault::Kind::kUnplug, 1}},
      {"replug-firmware", {Fault::Kind::kReplugFirmware, 0}},
      {"random=0", {Fault::Kind::kRandom, 0}},
      {"random=4294967295", {Fault::Kind::kRandom, 0xFFFFFFFF}},
  };
  for (const GoodFault& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const std::optional<Fault> fault = ParseFault(c.text, &error);
    ASSERT_TRUE(fault.has_value()) << error;
    EXPECT_EQ(*fault, c.fault);
  }
}

TEST(FaultText, RejectedFormsSayWhy) {
  struct BadFault {
    const char* text;
    const char* reason;  // part of the error text
  };
  const BadFault cases[] = {
      {"", "expected status=N"},
      {"slow", "expected status=N"},
      {"absent=1", "expected status=N"},
      {"status=", "status must be a number"},
      {"status=256", "status must be a number"},
      {"status=FF", "status must be a number"},  // N is decimal unless 0x
      {"status=-1", "status must be a number"},
      {"identity=10000", "identity must be hexadecimal"},
      {"identity=0x", "identity must be hexadecimal"},
      {"identity=67G0", "identity must be hexadecimal"},
      {"no-reply@0", "1 or more"},
      {"no-reply@", "1 or more"},
      {"no-reply@1x", "1 or more"},
      {"stale@99999999999", "1 or more"},
      {"corrupt@32768", "0 to 32767"},
      {"corrupt@0x8000", "0 to 32767"},
      {"no-reply-reg=", "register address"},
      {"no-reply-reg=12345", "register address"},
      {"Status=1", "expected status=N"},
      {"lie@32768", "0 to 32767"},
      {"garbage@0", "1 or more"},
      {"dup@x", "1 or more"},
      {"unplug@", "1 or more"},
      {"replug-firmware=1", "expected status=N"},
      {"random=", "the seed must be a number"},
      {"random=4294967296", "the seed must be a number"},
  };
  for (const BadFault& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(ParseFault(c.text, &error).has_value());
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
  }
}

TEST(ChipFaults, StatusAndIdentityChangeWhatTheRegistersRead) {
  Bench bench;
  ASSERT_TRUE(bench.chip.AddFault("status=0x21", nullptr));
  ASSERT_TRUE(bench.chip.AddFault("identity=67D5", nullptr));
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(1, 0x00B1)), Reply(1, 0x21));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(2, 0x00B9)), Reply(2, 0x67));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(3, 0x00B8)), Reply(3, 0xD5));
  bench.chip.ClearFaults();
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(4, 0x00B1)), Reply(4, 0x00));
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(5, 0x00B8)), Reply(5, 0xC3));
}

TEST(ChipFaults, NoReplyLosesExactlyTheKthEepromTransfer) {
  Bench bench;
  bench.chip.AddFault(Fault{Fault::Kind::kNoReply, 2});
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(1, 0x100, {0x11})), Reply(1, 1));
  // register transfers do not count
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(9, 0x00B1)), Reply(9, 0));
  const auto before = bench.clock.Now();
  EXPECT_TRUE(bench.Exchange(*device, EepromWrite(2, 0x101, {0x22})).empty());
  EXPECT_EQ(bench.clock.Now() - before, std::chrono::milliseconds(5000));
  EXPECT_EQ(bench.chip.Eeprom()[0x101], 0xFF) << "a lost transfer is not applied";
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(3, 0x101, {0x22})), Reply(3, 1));
  EXPECT_EQ(bench.chip.Eeprom()[0x101], 0x22);
  EXPECT_EQ(bench.chip.EepromTransfers(), 3u);
}

TEST(ChipFaults, StaleReplyWithAnotherSequenceComesFirst) {
  Bench bench;
  bench.chip.SetEeprom(Bytes{0x10, 0x20, 0x30}, 0x40);
  bench.chip.AddFault(Fault{Fault::Kind::kStale, 1});
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, EepromRead(0x50, 0x40, 3)), Reply(0x4F, 3, {0xEF, 0xDF, 0xCF}));
  EXPECT_EQ(bench.Next(*device), Reply(0x50, 3, {0x10, 0x20, 0x30}));
  EXPECT_TRUE(bench.Exchange(*device, EepromRead(0x51, 0x40, 3)) ==
              Reply(0x51, 3, {0x10, 0x20, 0x30}));
}

TEST(ChipFaults, CorruptAddressKeepsTheWrittenValueWithBitZeroFlipped) {
  Bench bench;
  bench.chip.AddFault(Fault{Fault::Kind::kCorrupt, 0x203});
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(1, 0x200, {0x55, 0x55, 0x55, 0x55, 0x55})),
            Reply(1, 5));
  EXPECT_EQ(bench.Exchange(*device, EepromRead(2, 0x200, 5)),
            Reply(2, 5, {0x55, 0x55, 0x55, 0x54, 0x55}));
}

TEST(ChipFaults, NoReplyRegisterSilencesReadsOfThatRegisterOnly) {
  Bench bench;
  bench.chip.AddFault(Fault{Fault::Kind::kNoReplyRegister, 0x00B9});
  auto device = bench.Open();
  EXPECT_TRUE(bench.Exchange(*device, RegisterRead(1, 0x00B9)).empty());
  EXPECT_EQ(bench.Exchange(*device, RegisterRead(2, 0x00B8)), Reply(2, 0xC3));
  EXPECT_EQ(bench.Exchange(*device, RegisterWrite(3, 0x00B9, 0)), Reply(3, 0));
}

TEST(ChipFaults, AbsentTakesTheChipOffTheBus) {
  Bench bench;
  auto device = bench.Open();
  ASSERT_TRUE(bench.chip.AddFault("absent", nullptr));
  EXPECT_FALSE(bench.chip.Present());
  EXPECT_TRUE(bench.backend.Enumerate().empty());
  EXPECT_EQ(bench.Open(), nullptr);
  EXPECT_EQ(device->Write(RegisterRead(1, 0x00B1)), -1);
}

TEST(FaultText, RandomSchedulesAreFixedBySeedAndReadBackFromTheirTexts) {
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    const std::vector<Fault> schedule = RandomFaults(seed);
    ASSERT_FALSE(schedule.empty());
    EXPECT_EQ(schedule, RandomFaults(seed));
    for (const Fault& fault : schedule) {
      EXPECT_NE(fault.kind, Fault::Kind::kRandom);
      EXPECT_EQ(ParseFault(FaultText(fault), nullptr), fault) << FaultText(fault);
    }
  }
}

TEST(ChipFaults, UnpluggedChipComesBackAfterThePauseInItsModeWithHotplugEvents) {
  Bench bench;
  std::vector<std::uint32_t> events;
  bench.chip.SetPlugListener([&](std::uint32_t event) { events.push_back(event); });
  bench.chip.AddFault(Fault{Fault::Kind::kUnplug, 2});
  auto device = bench.Open();
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(1, 0x100, {0x11})), Reply(1, 1));
  EXPECT_EQ(device->Write(EepromWrite(2, 0x101, {0x22})), 64);
  Bytes reply(64);
  EXPECT_EQ(device->Read(reply, kTimeout), 0) << "the handle died";
  EXPECT_EQ(bench.chip.Eeprom()[0x101], 0xFF) << "not applied";
  EXPECT_FALSE(bench.chip.Present());
  bench.clock.Advance(kUnplugPause - std::chrono::milliseconds(1));
  EXPECT_FALSE(bench.chip.Present());
  bench.clock.Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(bench.chip.Present());
  EXPECT_EQ(bench.chip.Mode(), ChipMode::kRom);
  EXPECT_EQ(events, (std::vector<std::uint32_t>{kDbtDeviceRemoveComplete, kDbtDeviceArrival}));
  EXPECT_EQ(bench.Open() == nullptr, false);
}

TEST(ChipFaults, GarbageAndDuplicateReplaceOrRepeatTheKthReply) {
  Bench bench;
  bench.chip.AddFault(Fault{Fault::Kind::kGarbage, 1});
  bench.chip.AddFault(Fault{Fault::Kind::kDuplicate, 2});
  auto device = bench.Open();
  const Bytes noise = bench.Exchange(*device, EepromWrite(1, 0x100, {0x11}));
  EXPECT_EQ(noise.size(), 64u);
  EXPECT_NE(noise, Reply(1, 1));
  EXPECT_EQ(bench.chip.Eeprom()[0x100], 0x11) << "the request itself was applied";
  EXPECT_EQ(bench.Exchange(*device, EepromWrite(2, 0x101, {0x22})), Reply(2, 1));
  EXPECT_EQ(bench.Next(*device), Reply(2, 1));
}

}  // namespace
}  // namespace qz::sim::test
