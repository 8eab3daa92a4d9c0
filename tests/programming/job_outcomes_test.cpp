// Every way a write job ends, each brought about by a fault of the chip (or, for code 11, of the
// wire), with the message boxes in order, what the EEPROM holds afterwards and where the
// sequence byte stands.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "support/programming_rig.h"

namespace qz::test {
namespace {

// A developer-mode job (0x4010 bytes) numbers its EEPROM transfers: 1 clear, 2 header read,
// 3..2051 body writes (2049), 2052..4100 reads (2049), 4101..4104 commit, 4105 final read.
constexpr int kLastBodyWrite = 2051;
constexpr int kFirstRead = 2052;
constexpr int kFirstCommit = 4101;
constexpr int kFinalRead = 4105;
// Register advances: 2 in the mode preparation, 9 in the status sequence, 9 in the identity
// sequence (which a failed status check never reaches).
constexpr int kRegisterSteps = 20;
constexpr int kStatusOnly = 11;

enum class Eeprom {
  kUntouched,      // nothing written: all 0xFF as the chip came
  kBodyUntouched,  // bytes 8 on still 0xFF
  kHeaderZero,     // header cleared, not written again
  kHeaderInvalid,  // header bytes 0..4 still clear: no valid image
  kWritten,        // the image's first 0x4010 bytes
};

struct OutcomeCase {
  const char* name;
  std::vector<std::string> faults;  // of the virtual chip
  int spoil_reply;                  // EEPROM transfer whose reply the wire spoils, or 0
  std::vector<std::string> messages;
  int outcome;
  int register_steps;
  int eeprom_successes;  // acknowledged EEPROM transfers
  Eeprom eeprom;
  std::optional<sim::ChipMode> start_mode = std::nullopt;  // of the chip; default from EEPROM
};
void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

std::string Fail(int code) { return FailureText(code); }
const std::string kOk(msg::kWriteOk);
const std::string kWriteBox(msg::kFailToWriteEeprom);
const std::string kReadBox(msg::kFailToReadEeprom);

class JobOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(JobOutcome, EndsWithItsMessagesAndLeavesTheChipAsExpected) {
  const OutcomeCase& c = GetParam();
  Rig rig(sim::ChipOptions{.forced_mode = c.start_mode});
  for (const std::string& fault : c.faults) {
    std::string error;
    ASSERT_TRUE(rig.chip.AddFault(fault, &error)) << error;
  }
  if (c.spoil_reply != 0) rig.spy.SpoilEepromReply(static_cast<std::uint64_t>(c.spoil_reply));
  rig.Init();
  rig.UseImage();
  rig.Write();

  CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
  EXPECT_EQ(rig.Texts(), c.messages);
  EXPECT_EQ(dialog.LastJobReport().outcome, c.outcome);
  // a numbered failure says, beside its unchanged text, what failed and what to check
  const std::vector<MessageBoxRequest> boxes = rig.controls.Messages();
  if (c.outcome >= 1 && c.outcome <= 12) {
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().detail, ExplainJobOutcome(c.outcome));
    EXPECT_FALSE(boxes.back().detail.empty());
  } else {
    for (const MessageBoxRequest& box : boxes) EXPECT_EQ(box.detail, "") << box.text;
  }
  // the sequence moved on once per acknowledged transfer, never for a failed one
  EXPECT_EQ(dialog.ReportSequence, SequenceAfter(240, c.register_steps, c.eeprom_successes));

  // closed: device released, button back, no phase left pending
  EXPECT_EQ(dialog.DeviceOpen, 0u);
  EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
  EXPECT_TRUE(rig.controls.IsEnabled(ctl::kWriteEeprom));
  EXPECT_EQ(dialog.CleanupRequested.load() + dialog.VerifyRequested.load() +
                dialog.CompareRequested.load() + dialog.WriteRequested.load(),
            0u);

  const std::vector<std::uint8_t> eeprom = rig.chip.Eeprom();
  const std::vector<std::uint8_t> header(eeprom.begin(), eeprom.begin() + 8);
  switch (c.eeprom) {
    case Eeprom::kUntouched:
      EXPECT_TRUE(std::all_of(eeprom.begin(), eeprom.end(), [](auto b) { return b == 0xFF; }));
      break;
    case Eeprom::kBodyUntouched:
      EXPECT_TRUE(std::all_of(eeprom.begin() + 8, eeprom.end(), [](auto b) { return b == 0xFF; }));
      break;
    case Eeprom::kHeaderZero:
      EXPECT_EQ(header, std::vector<std::uint8_t>(8, 0));
      break;
    case Eeprom::kHeaderInvalid:
      EXPECT_EQ(std::vector<std::uint8_t>(header.begin(), header.begin() + 5),
                std::vector<std::uint8_t>(5, 0));
      break;
    case Eeprom::kWritten:
      EXPECT_TRUE(std::equal(rig.image.begin(), rig.image.begin() + 0x4010, eeprom.begin()));
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, JobOutcome,
    ::testing::Values(
        OutcomeCase{"Ok", {}, 0, {kOk}, 0, kRegisterSteps, kFinalRead, Eeprom::kWritten},
        // an identity that differs only in the revision nibble is the same chip
        OutcomeCase{"RevisionNibbleAccepted", {"identity=67CF"}, 0, {kOk}, 0, kRegisterSteps,
                    kFinalRead, Eeprom::kWritten},
        OutcomeCase{"StatusUnreadable", {"no-reply-reg=B1"}, 0, {Fail(1)}, 1, kStatusOnly, 0,
                    Eeprom::kUntouched},
        OutcomeCase{"StatusNotZero", {"status=1"}, 0, {Fail(2)}, 2, kStatusOnly, 0,
                    Eeprom::kUntouched},
        OutcomeCase{"IdentityUnreadable", {"no-reply-reg=B9"}, 0, {Fail(3)}, 3, kRegisterSteps,
                    0, Eeprom::kUntouched},
        OutcomeCase{"IdentityOtherChip", {"identity=6800"}, 0, {Fail(4)}, 4, kRegisterSteps, 0,
                    Eeprom::kUntouched},
        OutcomeCase{"IdentityHighBitDiffers", {"identity=E7C0"}, 0, {Fail(4)}, 4,
                    kRegisterSteps, 0, Eeprom::kUntouched},
        // a lost request is not applied either
        OutcomeCase{"ClearHeaderLost", {"no-reply@1"}, 0, {Fail(5)}, 5, kRegisterSteps, 0,
                    Eeprom::kUntouched},
        OutcomeCase{"HeaderReadLost", {"no-reply@2"}, 0, {Fail(6)}, 6, kRegisterSteps, 1,
                    Eeprom::kHeaderZero},
        OutcomeCase{"HeaderNotCleared", {"corrupt@6"}, 0, {Fail(7)}, 7, kRegisterSteps, 2,
                    Eeprom::kBodyUntouched},
        OutcomeCase{"FirstBodyChunkLost", {"no-reply@3"}, 0, {kWriteBox, Fail(8)}, 8,
                    kRegisterSteps, 2, Eeprom::kHeaderZero},
        OutcomeCase{"LastBodyChunkLost", {"no-reply@2051"}, 0, {kWriteBox, Fail(8)}, 8,
                    kRegisterSteps, kLastBodyWrite - 1, Eeprom::kHeaderZero},
        OutcomeCase{"FirstReadLost", {"no-reply@2052"}, 0, {kReadBox, Fail(9)}, 9,
                    kRegisterSteps, kFirstRead - 1, Eeprom::kHeaderZero},
        OutcomeCase{"BodyByteDiffers", {"corrupt@8"}, 0, {Fail(12)}, 12, kRegisterSteps,
                    kFirstCommit - 1, Eeprom::kHeaderZero},
        OutcomeCase{"LastBodyByteDiffers", {"corrupt@16399"}, 0, {Fail(12)}, 12,
                    kRegisterSteps, kFirstCommit - 1, Eeprom::kHeaderZero},
        OutcomeCase{"CommitLost", {"no-reply@4101"}, 0, {Fail(10)}, 10, kRegisterSteps,
                    kFirstCommit - 1, Eeprom::kHeaderZero},
        // bytes 5..7 went in but read back otherwise: bytes 0..4 are never written
        OutcomeCase{"CommitReadsBackOtherByte", {}, kFirstCommit + 1, {Fail(10)}, 10,
                    kRegisterSteps, kFirstCommit + 1, Eeprom::kHeaderInvalid},
        OutcomeCase{"FinalHeaderReadSpoilt", {}, kFinalRead, {Fail(11)}, 11, kRegisterSteps,
                    kFinalRead, Eeprom::kWritten},
        // the header is in place; only the last look at it failed, and nothing is said
        OutcomeCase{"FinalHeaderReadLost", {"no-reply@4105"}, 0, {}, kJobOutcomeSilent,
                    kRegisterSteps, kFinalRead - 1, Eeprom::kWritten},
        // stale replies queued ahead of the right one are skipped by their sequence byte
        OutcomeCase{"StaleRepliesSkipped",
                    {"stale@1", "stale@2", "stale@3", "stale@2052", "stale@4102", "stale@4105"},
                    0, {kOk}, 0, kRegisterSteps, kFinalRead, Eeprom::kWritten},
        // a write over the address is acknowledged but the byte never stored
        OutcomeCase{"HeaderByteNotStored", {"lie@2"}, 0, {Fail(7)}, 7, kRegisterSteps, 2,
                    Eeprom::kBodyUntouched},
        OutcomeCase{"BodyByteNotStored", {"lie@0x3000"}, 0, {Fail(12)}, 12, kRegisterSteps,
                    kFirstCommit - 1, Eeprom::kHeaderZero},
        // noise instead of a reply carries no sequence byte the host waits for
        OutcomeCase{"BodyWriteAnsweredWithNoise", {"garbage@5"}, 0, {kWriteBox, Fail(8)}, 8,
                    kRegisterSteps, 4, Eeprom::kHeaderZero},
        OutcomeCase{"ReadAnsweredWithNoise", {"garbage@3000"}, 0, {kReadBox, Fail(9)}, 9,
                    kRegisterSteps, 2999, Eeprom::kHeaderZero},
        // a second copy of a reply is read with the next request and skipped
        OutcomeCase{"DuplicateRepliesSkipped", {"dup@1", "dup@2", "dup@2051", "dup@4102"}, 0,
                    {kOk}, 0, kRegisterSteps, kFinalRead, Eeprom::kWritten},
        // pulled mid-job: the link dies and the step fails; the chip is back later
        OutcomeCase{"UnpluggedInBody", {"unplug@100"}, 0, {kWriteBox, Fail(8)}, 8,
                    kRegisterSteps, 99, Eeprom::kHeaderZero},
        OutcomeCase{"UnpluggedInReadBack", {"unplug@2052"}, 0, {kReadBox, Fail(9)}, 9,
                    kRegisterSteps, kFirstRead - 1, Eeprom::kHeaderZero},
        OutcomeCase{"UnpluggedAtCommit", {"unplug@4103"}, 0, {Fail(10)}, 10, kRegisterSteps,
                    kFirstCommit + 1, Eeprom::kHeaderInvalid},
        // after the erase the chip still runs its firmware: the job finds it under that
        // identity and writes it all the same
        OutcomeCase{"ErasedChipBackInFirmware", {"replug-firmware"}, 0,
                    {std::string(msg::kReplugDevice), kOk}, 0, kRegisterSteps, kFinalRead,
                    Eeprom::kWritten, sim::ChipMode::kFirmware}),
    [](const ::testing::TestParamInfo<OutcomeCase>& param_info) { return param_info.param.name; });

TEST(JobOutcomeBoxes, FailingStepsShowTheirOwnStopBoxBeforeTheNumberedOne) {
  struct Row {
    const char* fault;
    MessageBoxRequest step_box;
    int code;
  };
  const Row rows[] = {
      {"no-reply@500",
       {std::string(msg::kFailToWriteEeprom), std::string(msg::kCaptionWrite), MessageIcon::kStop},
       8},
      {"no-reply@3000",
       {std::string(msg::kFailToReadEeprom), std::string(msg::kCaptionRead), MessageIcon::kStop},
       9},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    Rig rig;
    std::string error;
    ASSERT_TRUE(rig.chip.AddFault(row.fault, &error)) << error;
    rig.Init();
    rig.UseImage();
    rig.Write();
    const std::vector<MessageBoxRequest> boxes = rig.controls.Messages();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, row.step_box.text);
    EXPECT_EQ(boxes[0].caption, row.step_box.caption);
    EXPECT_EQ(boxes[0].icon, row.step_box.icon);
    // the outcome box: the application's name, no icon
    EXPECT_EQ(boxes[1].text, FailureText(row.code));
    EXPECT_EQ(boxes[1].caption, "programming_tests");
    EXPECT_EQ(boxes[1].icon, MessageIcon::kNone);
  }
}

}  // namespace
}  // namespace qz::test
