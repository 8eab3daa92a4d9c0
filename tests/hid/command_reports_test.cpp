#include "hid/command_reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "support/scripted_hid.h"

namespace qz {
namespace {

using test::In;
using test::InShort;
using test::NoRead;
using test::Out;
using test::Reply;
using test::ScriptedHid;
using test::ScriptRow;
using test::Timeout;
using test::WriteFails;
using std::chrono::milliseconds;

class CommandReportsTest : public testing::Test {
 protected:
  void SetUp() override {
    link.clock = &clock;
    ASSERT_TRUE(hid.OpenLink(link));
  }

  ScriptedHid hid;
  ManualClock clock;
  HidLink link;
};

// --- request layouts -------------------------------------------------------------------------

struct LayoutCase {
  std::string name;
  std::vector<ScriptRow> script;
  std::function<bool(HidLink&)> run;  // true when the operation (and its output) is right
};

TEST_F(CommandReportsTest, RequestsAreByteExactAndZeroFilled) {
  const std::vector<LayoutCase> cases = {
      {"eeprom write of 3 bytes",
       {Out({0x00, 0xF0, 0x11, 0xA0, 0xA0, 0x12, 0x34, 0x03, 0xAA, 0xBB, 0xCC}), Reply(0xF0, 3)},
       [](HidLink& l) {
         std::array<std::uint8_t, 3> data = {0xAA, 0xBB, 0xCC};
         return EepromTransfer(l, 0x1234, false, 3, data.data(), 0xF0);
       }},
      {"eeprom write of 8 bytes",
       {Out({0x00, 0x01, 0x11, 0xA0, 0xA0, 0x7F, 0xF8, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}),
        Reply(0x01, 8)},
       [](HidLink& l) {
         std::array<std::uint8_t, 8> data = {1, 2, 3, 4, 5, 6, 7, 8};
         return EepromTransfer(l, 0x7FF8, false, 8, data.data(), 0x01);
       }},
      {"eeprom read of 16 bytes",
       {Out({0x00, 0xFC, 0x12, 0xE4, 0xA0, 0x00, 0x08, 0x10}),
        Reply(0xFC, 16, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF})},
       [](HidLink& l) {
         std::array<std::uint8_t, 16> data{};
         const bool ok = EepromTransfer(l, 0x0008, true, 16, data.data(), 0xFC);
         return ok && data == std::array<std::uint8_t, 16>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                           12, 13, 14, 0xFF};
       }},
      {"register read",
       {Out({0x00, 0x01, 0x22, 0x04, 0x00, 0x00}), Reply(0x01, 0x5A)},
       [](HidLink& l) {
         std::uint8_t value = 0xEE;
         return RegisterTransfer(l, &value, true, 0x0400, 0x01) && value == 0x5A;
       }},
      {"register write",
       {Out({0x00, 0xF0, 0x21, 0x04, 0x00, 0x7E}), Reply(0xF0, 0x00)},
       [](HidLink& l) {
         std::uint8_t value = 0x7E;
         return RegisterTransfer(l, &value, false, 0x0400, 0xF0) && value == 0x7E;
       }},
      {"erase command", {Out({0x00, 0xF5, 0xAB, 0xCD, 0x00})},
       [](HidLink& l) { return SendEraseCommand(l) == S_OK; }},
      {"mode preparation", {Out({0x00, 0xF5, 0x21, 0x00, 0xC4, 0x0C})},
       [](HidLink& l) { return SendModePreparation(l) == S_OK; }},
      // A failed write is not examined by a transfer (the reply decides), but fails a fixed one.
      {"transfer whose request write fails",
       {WriteFails({0x00, 0x03, 0x11, 0xA0, 0xA0, 0x00, 0x08, 0x01, 0x00}), Reply(0x03, 1)},
       [](HidLink& l) {
         std::uint8_t data = 0;
         return EepromTransfer(l, 0x0008, false, 1, &data, 0x03);
       }},
      {"erase command whose write fails", {WriteFails({0x00, 0xF5, 0xAB, 0xCD})},
       [](HidLink& l) { return SendEraseCommand(l) == E_FAIL; }},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHid scripted(c.script);
    HidLink l;
    l.clock = &clock;
    ASSERT_TRUE(scripted.OpenLink(l));
    // Stale bytes in the request buffer must not leak into the report.
    std::fill(l.request.begin(), l.request.end(), std::uint8_t{0x5C});
    EXPECT_TRUE(c.run(l));
    EXPECT_TRUE(scripted.Finished());
  }
}

// --- reply matching ----------------------------------------------------------------------------

std::vector<std::uint8_t> ShortReport(std::size_t size, std::uint8_t sequence,
                                      std::uint8_t value) {
  std::vector<std::uint8_t> bytes(size, 0);
  bytes[7] = sequence;
  if (size > 8) bytes[8] = value;
  return bytes;
}

TEST_F(CommandReportsTest, EepromWriteSkipsRepliesToOtherRequests) {
  hid.Append({Out({0x00, 0x05, 0x11, 0xA0, 0xA0, 0x00, 0x10, 0x01, 0x42}), Reply(0x04, 1),
              NoRead(), Reply(0xF5, 1), Reply(0x05, 1)});
  std::uint8_t data = 0x42;
  EXPECT_TRUE(EepromTransfer(link, 0x0010, false, 1, &data, 0x05));
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, EepromReadSkipsWrongLengthByte) {
  hid.Append({Out({0x00, 0x05, 0x12, 0xE4, 0xA0, 0x00, 0x20, 0x03}),
              Reply(0x05, 5, {9, 9, 9, 9, 9}), Reply(0x05, 3, {1, 2, 3})});
  std::array<std::uint8_t, 3> data{};
  EXPECT_TRUE(EepromTransfer(link, 0x0020, true, 3, data.data(), 0x05));
  EXPECT_EQ(data, (std::array<std::uint8_t, 3>{1, 2, 3}));
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, ShortEepromReadReplyNeverPassesStaleBytes) {
  // A full reply to another request leaves 0xAA bytes in the reply buffer; the matching report
  // that follows claims 8 bytes but holds only one, so the rest would be stale.
  hid.Append({Out({0x00, 0x05, 0x12, 0xE4, 0xA0, 0x00, 0x00, 0x08}),
              Reply(0x04, 8, std::vector<std::uint8_t>(8, 0xAA)),
              InShort({0, 0, 0, 0, 0, 0, 0, 0x05, 0x08, 0x11}), Timeout()});
  std::array<std::uint8_t, 8> data{};
  EXPECT_FALSE(EepromTransfer(link, 0x0000, true, 8, data.data(), 0x05));
  EXPECT_EQ(data, (std::array<std::uint8_t, 8>{})) << "a failed read leaves the buffer as it was";
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, NineByteReportCompletesRegisterButNotEepromTransfer) {
  hid.Append({Out({0x00, 0x07, 0x22, 0x00, 0x90, 0x00}), InShort(ShortReport(9, 0x07, 0x33))});
  std::uint8_t value = 0;
  EXPECT_TRUE(RegisterTransfer(link, &value, true, 0x0090, 0x07));
  EXPECT_EQ(value, 0x33);

  hid.Append({Out({0x00, 0x07, 0x11, 0xA0, 0xA0, 0x00, 0x00, 0x01, 0x01}),
              InShort(ShortReport(9, 0x07, 0x01)), Timeout()});
  std::uint8_t data = 0x01;
  EXPECT_FALSE(EepromTransfer(link, 0x0000, false, 1, &data, 0x07));
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, RegisterReadNeedsTheValueByteInTheReport) {
  // 8 bytes carry the sequence byte but not the value: enough to acknowledge a write, not to
  // answer a read (byte 8 would be left over from the reply before).
  hid.Append({Out({0x00, 0x01, 0x22, 0x00, 0xB1, 0x00}), Reply(0x00, 0x99),
              InShort(ShortReport(8, 0x01, 0)), Reply(0x01, 0x42)});
  std::uint8_t value = 0;
  EXPECT_TRUE(RegisterTransfer(link, &value, true, kRegStatus, 0x01));
  EXPECT_EQ(value, 0x42);

  hid.Append({Out({0x00, 0x02, 0x21, 0x00, 0xB1, 0x07}), InShort(ShortReport(8, 0x02, 0))});
  value = 0x07;
  EXPECT_TRUE(RegisterTransfer(link, &value, false, kRegStatus, 0x02));
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, FixedReportReplyIsNeverTakenByRegisterTransfer) {
  // Register sequence values stop at 240, so a reply carrying 0xF5 answers a fixed report.
  hid.Append({Out({0x00, 0xF0, 0x22, 0x04, 0x00, 0x00}), Reply(0xF5, 0x99), Reply(0xF0, 0x01)});
  std::uint8_t value = 0;
  EXPECT_TRUE(RegisterTransfer(link, &value, true, kRegWriteMode, 0xF0));
  EXPECT_EQ(value, 0x01);
  EXPECT_TRUE(hid.Finished());
}

// --- pass limits, time-outs, closed link ------------------------------------------------------

struct PassLimitCase {
  std::string name;
  bool eeprom;
  int stale_replies;
  bool expected;
};

TEST_F(CommandReportsTest, PassLimits) {
  const std::vector<PassLimitCase> cases = {
      {"eeprom, match on pass 300", true, kEepromPassLimit - 1, true},
      {"eeprom, 300 stale replies", true, kEepromPassLimit, false},
      {"register, match on pass 1000", false, kRegisterPassLimit - 1, true},
      {"register, 1000 stale replies", false, kRegisterPassLimit, false},
  };
  for (const PassLimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ScriptRow> script;
    script.push_back(c.eeprom ? Out({0x00, 0x09, 0x11, 0xA0, 0xA0, 0x00, 0x08, 0x01, 0x5A})
                              : Out({0x00, 0x09, 0x21, 0x00, 0x36, 0x5A}));
    for (int i = 0; i < c.stale_replies; ++i) script.push_back(Reply(0x08, 1));
    if (c.expected) script.push_back(Reply(0x09, 1));
    ScriptedHid scripted(script);
    HidLink l;
    l.clock = &clock;
    ASSERT_TRUE(scripted.OpenLink(l));
    std::uint8_t data = 0x5A;
    const bool ok = c.eeprom ? EepromTransfer(l, 0x0008, false, 1, &data, 0x09)
                             : RegisterTransfer(l, &data, false, 0x0036, 0x09);
    EXPECT_EQ(ok, c.expected);
    EXPECT_TRUE(scripted.Finished()) << "no read beyond the pass limit";
  }
}

TEST_F(CommandReportsTest, TimeOutEndsTransferAtOnce) {
  hid.Append({Out({0x00, 0x03, 0x22, 0x00, 0xB9, 0x00}), Reply(0x02, 0x67), Timeout(),
              Reply(0x03, 0x67)});
  std::uint8_t value = 0xEE;
  EXPECT_FALSE(RegisterTransfer(link, &value, true, kRegIdentityHigh, 0x03));
  EXPECT_EQ(value, 0) << "a failed register read leaves 0";
  EXPECT_EQ(hid.RowsPlayed(), 3U) << "the reply after the time-out is not read";
  EXPECT_EQ(hid.LastReadTimeout(), milliseconds(kReadTimeoutMs));
}

TEST_F(CommandReportsTest, ClosedLinkSendsNothingAndNeverWaits) {
  CloseHidLink(link);
  std::uint8_t data[8] = {};
  EXPECT_FALSE(EepromTransfer(link, 0x0008, false, 8, data, 0x01));
  EXPECT_FALSE(EepromTransfer(link, 0x0008, true, 8, data, 0x01));
  EXPECT_FALSE(RegisterTransfer(link, data, true, kRegStatus, 0x01));
  EXPECT_EQ(SendEraseCommand(link), E_FAIL);
  EXPECT_EQ(SendModePreparation(link), E_FAIL);
  EXPECT_EQ(hid.Writes() + hid.Reads(), 0U);
  EXPECT_EQ(clock.Elapsed(), Clock::Duration::zero());
}

TEST_F(CommandReportsTest, UnfitRequestsAreRefusedWithoutSending) {
  std::array<std::uint8_t, 9> data{};
  EXPECT_FALSE(EepromTransfer(link, 0x0000, false, 9, data.data(), 0x01)) << "9-byte write";
  EXPECT_FALSE(EepromTransfer(link, 0x0000, true, 4, nullptr, 0x01)) << "read without buffer";
  EXPECT_FALSE(RegisterTransfer(link, nullptr, true, kRegStatus, 0x01)) << "null value";
  EXPECT_EQ(hid.Writes() + hid.Reads(), 0U);
}

TEST_F(CommandReportsTest, OnlyAcknowledgedRegisterWritePauses) {
  hid.Append({Out({0x00, 0x01, 0x22, 0x04, 0x00}), Reply(0x01, 0x03),
              Out({0x00, 0x02, 0x21, 0x04, 0x00, 0x02}), Reply(0x02, 0x00),
              Out({0x00, 0x03, 0x21, 0x04, 0x00, 0x02}), Timeout()});
  std::uint8_t value = 0;
  ASSERT_TRUE(RegisterTransfer(link, &value, true, kRegWriteMode, 0x01));
  EXPECT_EQ(clock.Elapsed(), Clock::Duration::zero());
  value = 0x02;
  ASSERT_TRUE(RegisterTransfer(link, &value, false, kRegWriteMode, 0x02));
  EXPECT_EQ(clock.Elapsed(), milliseconds(10));
  EXPECT_FALSE(RegisterTransfer(link, &value, false, kRegWriteMode, 0x03));
  EXPECT_EQ(clock.Elapsed(), milliseconds(10));
  EXPECT_TRUE(hid.Finished());
}

// --- sequence rules ----------------------------------------------------------------------------

TEST(ReportSequenceTest, AdvanceRules) {
  struct Case {
    std::uint8_t from;
    std::uint8_t eeprom;
    std::uint8_t reg;
  };
  const Case cases[] = {{0, 1, 1},       {1, 2, 2},       {239, 240, 240}, {240, 241, 1},
                        {245, 246, 1},   {251, 252, 1},   {252, 1, 1},     {255, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.from));
    std::uint8_t eeprom = c.from;
    std::uint8_t reg = c.from;
    AdvanceEepromSequence(eeprom);
    AdvanceRegisterSequence(reg);
    EXPECT_EQ(eeprom, c.eeprom);
    EXPECT_EQ(reg, c.reg);
  }
}

// --- status and identity sequences -----------------------------------------------------------

ScriptRow RegisterReadRequest(std::uint8_t sequence, std::uint16_t address) {
  return Out({0x00, sequence, 0x22, static_cast<std::uint8_t>(address >> 8),
              static_cast<std::uint8_t>(address & 0xFF), 0x00});
}

// The access reads of `addresses` with sequence values from `sequence` + 1; the reads whose
// index is in `failing` time out.
std::uint8_t AppendAccessReads(std::vector<ScriptRow>& script, std::uint8_t sequence,
                               const std::array<std::uint16_t, 7>& addresses,
                               std::vector<std::size_t> failing = {}) {
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    AdvanceRegisterSequence(sequence);
    script.push_back(RegisterReadRequest(sequence, addresses[i]));
    const bool fails = std::find(failing.begin(), failing.end(), i) != failing.end();
    script.push_back(fails ? Timeout() : Reply(sequence, 0x11));
  }
  return sequence;
}

TEST_F(CommandReportsTest, ChipStatusIgnoresFailedAccessReads) {
  std::vector<ScriptRow> script;
  // From 236 the sequence wraps inside the access reads: 237..240, then 1, 2, 3.
  AppendAccessReads(script, 236, kStatusAccessSequence, {0, 4, 6});
  script.push_back(RegisterReadRequest(4, kRegStatus));
  script.push_back(Reply(4, 0x00));
  hid.Append(script);

  std::uint8_t sequence = 236;
  std::uint8_t status = 0xEE;
  EXPECT_EQ(ReadChipStatus(link, sequence, &status), S_OK);
  EXPECT_EQ(status, 0x00);
  EXPECT_EQ(sequence, 5) << "advanced once more after the status read";
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, ChipStatusFailsWhenStatusReadFails) {
  std::vector<ScriptRow> script;
  AppendAccessReads(script, 240, kStatusAccessSequence);
  script.push_back(RegisterReadRequest(8, kRegStatus));
  script.push_back(Timeout());
  hid.Append(script);

  std::uint8_t sequence = 240;
  std::uint8_t status = 0xEE;
  EXPECT_EQ(ReadChipStatus(link, sequence, &status), E_FAIL);
  EXPECT_EQ(status, 0xEE);
  EXPECT_EQ(sequence, 9);
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, ChipIdentityLowByteReadKeepsItsSequenceForTheNextRequest) {
  std::vector<ScriptRow> script;
  AppendAccessReads(script, 240, kIdentityAccessSequence, {2});
  script.push_back(RegisterReadRequest(8, kRegIdentityHigh));
  script.push_back(Reply(8, 0x67));
  script.push_back(RegisterReadRequest(9, kRegIdentityLow));
  script.push_back(Reply(9, 0xC3));
  hid.Append(script);

  std::uint8_t sequence = 240;
  std::uint32_t identity = 0xDEADBEEF;
  EXPECT_EQ(ReadChipIdentity(link, sequence, &identity), S_OK);
  EXPECT_EQ(identity, 0x67C3U);
  EXPECT_EQ(sequence, 9) << "no advance after the 0x00B8 read";
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, ChipIdentityStopsAfterFailedHighByteRead) {
  std::vector<ScriptRow> script;
  AppendAccessReads(script, 240, kIdentityAccessSequence);
  script.push_back(RegisterReadRequest(8, kRegIdentityHigh));
  script.push_back(Timeout());
  hid.Append(script);

  std::uint8_t sequence = 240;
  std::uint32_t identity = 0xDEADBEEF;
  EXPECT_EQ(ReadChipIdentity(link, sequence, &identity), E_FAIL);
  EXPECT_EQ(identity, 0xDEADBEEFU);
  EXPECT_EQ(sequence, 9);
  EXPECT_TRUE(hid.Finished()) << "the 0x00B8 request must not be sent";
}

TEST_F(CommandReportsTest, ChipIdentityFailsWhenLowByteReadFails) {
  std::vector<ScriptRow> script;
  AppendAccessReads(script, 240, kIdentityAccessSequence);
  script.push_back(RegisterReadRequest(8, kRegIdentityHigh));
  script.push_back(Reply(8, 0x67));
  script.push_back(RegisterReadRequest(9, kRegIdentityLow));
  script.push_back(Timeout());
  hid.Append(script);

  std::uint8_t sequence = 240;
  std::uint32_t identity = 0xDEADBEEF;
  EXPECT_EQ(ReadChipIdentity(link, sequence, &identity), E_FAIL);
  EXPECT_EQ(identity, 0xDEADBEEFU);
  EXPECT_TRUE(hid.Finished());
}

TEST_F(CommandReportsTest, NullOutputsSendNothingAndKeepSequence) {
  std::uint8_t sequence = 17;
  EXPECT_EQ(ReadChipStatus(link, sequence, nullptr), E_FAIL);
  EXPECT_EQ(ReadChipIdentity(link, sequence, nullptr), E_FAIL);
  EXPECT_EQ(sequence, 17);
  EXPECT_EQ(hid.Writes() + hid.Reads(), 0U);
}

}  // namespace
}  // namespace qz
