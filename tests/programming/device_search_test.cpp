// Finding the chip, telling ROM mode from firmware mode, reacting to device changes, and the
// erase and mode-preparation steps of the write path.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "hid/command_reports.h"
#include "support/programming_rig.h"

namespace qz::test {
namespace {

using std::chrono::milliseconds;

sim::ChipOptions Firmware() {
  sim::ChipOptions options;
  options.forced_mode = sim::ChipMode::kFirmware;
  return options;
}

// --- SearchDevice ---------------------------------------------------------------------

struct EditCase {
  const char* name;
  std::string vendor_text;
  std::uint16_t vendor_id;  // what the text stands for
};
void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

class SearchEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(SearchEdit, FirstTryLooksForTheEditsParsedAsHex) {
  const EditCase& c = GetParam();
  Rig rig;
  rig.sim_backend.AddExtraDevice(c.vendor_id, 0x4321, sim::ExtraDevice::kSilent);
  rig.Init();
  rig.controls.SetText(ctl::kVendorId, c.vendor_text);
  rig.controls.SetText(ctl::kProductId, "4321");

  ASSERT_EQ(rig.Dialog().SearchDevice(), S_OK);
  EXPECT_EQ(rig.Dialog().SearchedVendorId, c.vendor_id);
  EXPECT_EQ(rig.Dialog().SearchedProductId, 0x4321);
  EXPECT_EQ(rig.sim_backend.OpenAttempts().back(), "sim:extra:0");
  rig.Dialog().ReleaseDevice();
}

INSTANTIATE_TEST_SUITE_P(
    HexRule, SearchEdit,
    ::testing::Values(EditCase{"Plain", "ABCD", 0xABCD}, EditCase{"Prefixed", "0x1D6C", 0x1D6C},
                      EditCase{"LowerCaseBlanks", "  1d6c", 0x1D6C},
                      EditCase{"FifthDigitCut", "11D6C", 0x1D6C},
                      EditCase{"StopsAtNonDigit", "12G4", 0x0012},
                      EditCase{"Empty", "", 0x0000}, EditCase{"NoDigit", "zz", 0x0000},
                      EditCase{"BeyondThirtyTwoBits", "123456789", 0xFFFF},
                      EditCase{"Negative", "-1", 0xFFFF},
                      // 32 characters: the last one is not read
                      EditCase{"ThirtyFirstCharacterIsTheLast",
                               std::string(28, '0') + "ABCD", 0x0ABC}),
    [](const ::testing::TestParamInfo<EditCase>& param_info) { return param_info.param.name; });

TEST(SearchDevice, TriesTheFixedIdentitiesInOrderAfterTheTarget) {
  struct Row {
    const char* name;
    std::vector<std::uint16_t> present;  // product IDs under 0x1D6C, listed in this order
    std::uint16_t found;
  };
  const Row rows[] = {
      {"DefaultBeforeAlternative", {0x6800, 0x6841}, 0x6841},
      {"AlternativeBeforeRom", {0x6707, 0x6706, 0x6800}, 0x6800},
      {"RomBeforeSecondRom", {0x6707, 0x6706}, 0x6706},
      {"SecondRom", {0x6707}, 0x6707},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.chip.SetPresent(false);
    for (std::uint16_t product : row.present) {
      rig.sim_backend.AddExtraDevice(0x1D6C, product, sim::ExtraDevice::kSilent);
    }
    rig.Init();
    rig.controls.SetText(ctl::kVendorId, "0");
    ASSERT_EQ(rig.Dialog().SearchDevice(), S_OK);
    EXPECT_EQ(rig.Dialog().SearchedVendorId, 0x1D6C);
    EXPECT_EQ(rig.Dialog().SearchedProductId, row.found);
    EXPECT_EQ(rig.Dialog().DeviceOpen, 1u);
    rig.Dialog().ReleaseDevice();
  }
}

TEST(SearchDevice, NothingFoundMakesFiveTriesAndSaysSo) {
  for (std::uint32_t not_in_rom : {0u, 1u}) {
    SCOPED_TRACE(not_in_rom);
    Rig rig;
    rig.chip.SetPresent(false);
    rig.Init();
    CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
    dialog.NotInRomMode = not_in_rom;
    dialog.ReadBackImage.bytes.fill(0xAA);
    const int before = rig.spy.Enumerations();

    EXPECT_EQ(dialog.SearchDevice(), E_FAIL);
    // the preset target equals the default identity; both tries are made
    EXPECT_EQ(rig.spy.Enumerations() - before, 5);
    EXPECT_EQ(dialog.SearchedVendorId, 0xFFFF);
    EXPECT_EQ(dialog.SearchedProductId, 0xFFFF);
    EXPECT_EQ(dialog.DeviceOpen, 0u);
    EXPECT_TRUE(std::all_of(dialog.ReadBackImage.bytes.begin(), dialog.ReadBackImage.bytes.end(),
                            [](std::uint8_t b) { return b == 0; }));
    const std::vector<MessageBoxRequest> boxes = rig.controls.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, msg::kDeviceNotFound);
    EXPECT_EQ(boxes[0].caption,
              not_in_rom != 0 ? msg::kCaptionWriteNotInRom : msg::kCaptionWrite);
    EXPECT_EQ(boxes[0].icon, MessageIcon::kStop);
  }
}

// --- ProbeRomMode and device changes ------------------------------------------------

TEST(ProbeRomMode, EitherRomIdentityCountsAndTheLinkIsLetGo) {
  struct Row {
    const char* name;
    bool chip_present;
    sim::ChipOptions chip;
    std::vector<std::uint16_t> extra_products;  // under 0x1D6C
    std::uint32_t not_in_rom;
  };
  const Row rows[] = {
      {"RomChip", true, {}, {}, 0},
      {"FirmwareChip", true, Firmware(), {}, 1},
      {"SecondRomIdentity", false, {}, {0x6707}, 0},
      {"NoChip", false, {}, {}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.chip);
    rig.chip.SetPresent(row.chip_present);
    for (std::uint16_t product : row.extra_products) {
      rig.sim_backend.AddExtraDevice(0x1D6C, product, sim::ExtraDevice::kSilent);
    }
    rig.Init();  // the first probe
    EXPECT_EQ(rig.Dialog().NotInRomMode, row.not_in_rom);
    EXPECT_EQ(rig.Dialog().DeviceOpen, 0u);
    EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
    EXPECT_TRUE(rig.Texts().empty());
  }
}

TEST(DeviceChange, OnlyArrivalAndRemovalOfAnInterfaceProbe) {
  struct Row {
    const char* name;
    std::uint32_t event;
    std::uint32_t device_type;
    bool null_header;
    bool probes;
  };
  const Row rows[] = {
      {"Arrival", kDbtDeviceArrival, kDbtDevtypDeviceInterface, false, true},
      {"RemoveComplete", kDbtDeviceRemoveComplete, kDbtDevtypDeviceInterface, false, true},
      {"QueryRemove", kDbtDeviceQueryRemove, kDbtDevtypDeviceInterface, false, false},
      {"NodesChanged", 0x0007, kDbtDevtypDeviceInterface, false, false},
      {"ArrivalOfAVolume", kDbtDeviceArrival, 2, false, false},
      {"ArrivalOfAHandle", kDbtDeviceArrival, 6, false, false},
      {"ArrivalWithoutHeader", kDbtDeviceArrival, kDbtDevtypDeviceInterface, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;  // a ROM-mode chip: a probe clears the flag
    rig.Init();
    CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
    dialog.NotInRomMode = 1;
    DeviceBroadcastHeader header;
    header.device_type = row.device_type;
    EXPECT_EQ(dialog.OnDeviceChange(row.event, row.null_header ? nullptr : &header), 0u);
    EXPECT_EQ(dialog.NotInRomMode, row.probes ? 0u : 1u);

    // the same through the hotplug source
    dialog.NotInRomMode = 1;
    DeviceChange change;
    change.event_type = row.event;
    change.header = header;
    if (!row.null_header) {
      rig.hotplug.Inject(change);
      EXPECT_EQ(dialog.DispatchHotplugEvents(), 1u);
      EXPECT_EQ(dialog.NotInRomMode, row.probes ? 0u : 1u);
    }
  }
}

TEST(DeviceChange, RegistrationStartsTheHotplugSourceWhenThereIsOne) {
  Rig rig;
  rig.Init();
  EXPECT_TRUE(rig.Dialog().NotificationsRegistered);

  // without a source: no notifications, the start-up probe's value stays
  HeadlessControls controls;
  CQZ670xWriteEepromMPUtyDlg bare(controls, rig.spy, rig.clock, nullptr, "bare");
  EXPECT_FALSE(bare.RegisterDeviceNotifications());
  EXPECT_FALSE(bare.NotificationsRegistered);
  EXPECT_EQ(bare.DispatchHotplugEvents(), 0u);
}

// --- EraseEeprom ---------------------------------------------------------------------------

TEST(EraseEeprom, FirmwareChipIsErasedAndComesBackInRomMode) {
  Rig rig(Firmware());
  rig.Init();
  ASSERT_EQ(rig.Dialog().NotInRomMode, 1u);
  rig.UseImage();

  bool checked_during_box = false;
  rig.controls.SetMessageHandler([&](const MessageBoxRequest& message) {
    if (message.text != msg::kReplugDevice) return;
    CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
    // both erase commands went out, a second apart, and the link was let go first
    EXPECT_EQ(rig.chip.EraseReports(), 2u);
    EXPECT_EQ(rig.clock.Now(), milliseconds(2000));
    EXPECT_EQ(dialog.DeviceOpen, 0u);
    EXPECT_EQ(message.caption, msg::kCaptionErase);
    EXPECT_EQ(message.icon, MessageIcon::kInformation);
    // the re-plug reaches the dialog as device changes while the box is up
    EXPECT_GE(dialog.DispatchHotplugEvents(), 2u);
    EXPECT_EQ(dialog.NotInRomMode, 0u);
    checked_during_box = true;
  });
  rig.Write();
  EXPECT_TRUE(checked_during_box);
  EXPECT_EQ(rig.Texts(), (std::vector<std::string>{std::string(msg::kReplugDevice),
                                                   std::string(msg::kWriteOk)}));
  EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
}

TEST(EraseEeprom, AProbeWhileTheBoxIsUpLooksAtTheBusNotAtTheErasedLink) {
  // The only change the dialog hears of is the chip going away; the probe it runs must find an
  // empty bus, not count the link the erase step had open as a chip in ROM mode.
  Rig rig(Firmware());
  rig.Init();
  rig.UseImage();
  rig.controls.SetMessageHandler([&](const MessageBoxRequest& message) {
    if (message.text != msg::kReplugDevice) return;
    (void)rig.hotplug.TakeEvents();
    rig.chip.SetPresent(false);
    EXPECT_EQ(rig.Dialog().DispatchHotplugEvents(), 1u);
    EXPECT_EQ(rig.Dialog().NotInRomMode, 1u);
  });
  rig.Dialog().OnWriteEeprom();
  EXPECT_EQ(rig.Dialog().NotInRomMode, 1u);
  EXPECT_EQ(rig.Dialog().LastWriteRequest().stopped_at, WriteRequestStep::kPrepareWriteMode);
  EXPECT_TRUE(rig.Dialog().LastWriteRequest().chip_not_found);
}

TEST(EraseEeprom, FailuresShowTheirBoxesAndStopTheRequest) {
  struct Row {
    const char* name;
    bool chip_present;
    int failing_erase;  // which erase report fails to go out (0: none)
    std::vector<MessageBoxRequest> boxes;
    milliseconds paused;
    bool chip_not_found;
  };
  const MessageBoxRequest not_found{std::string(msg::kDeviceNotFound),
                                    std::string(msg::kCaptionWriteNotInRom), MessageIcon::kStop};
  const MessageBoxRequest cant{std::string(msg::kEepromCantBeWritten),
                               std::string(msg::kCaptionErase), MessageIcon::kStop};
  const Row rows[] = {
      {"NoChip", false, 0, {not_found, cant}, milliseconds(0), true},
      {"FirstSendFails", true, 1, {cant}, milliseconds(1000), false},
      {"SecondSendFails", true, 2, {cant}, milliseconds(2000), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(Firmware());
    rig.chip.SetPresent(row.chip_present);
    int erase_writes = 0;
    rig.spy.FailWrites([&](const std::uint8_t* report) {
      return IsEraseCommand(report) && ++erase_writes == row.failing_erase;
    });
    rig.Init();
    ASSERT_EQ(rig.Dialog().NotInRomMode, 1u);
    rig.UseImage();
    const auto start = rig.clock.Now();
    const int enumerations = rig.spy.Enumerations();

    rig.Dialog().OnWriteEeprom();
    const std::vector<MessageBoxRequest> boxes = rig.controls.Messages();
    ASSERT_EQ(boxes.size(), row.boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].text, row.boxes[i].text);
      EXPECT_EQ(boxes[i].caption, row.boxes[i].caption);
      EXPECT_EQ(boxes[i].icon, row.boxes[i].icon);
    }
    EXPECT_EQ(rig.clock.Now() - start, row.paused);
    // stopped after the erase step: no further search, nothing raised, nothing left open
    EXPECT_EQ(rig.spy.Enumerations() - enumerations, row.chip_present ? 1 : 5);
    EXPECT_EQ(rig.Dialog().LastWriteRequest().stopped_at, WriteRequestStep::kErase);
    EXPECT_EQ(rig.Dialog().LastWriteRequest().chip_not_found, row.chip_not_found);
    EXPECT_EQ(rig.Dialog().WriteRequested.load(), 0u);
    EXPECT_FALSE(rig.Dialog().JobActive());
    EXPECT_TRUE(rig.controls.IsEnabled(ctl::kWriteEeprom));
    EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
  }
}

// --- PrepareWriteMode ------------------------------------------------------------------------

TEST(PrepareWriteMode, ClearsTheLockBitAndCountsItsRegisterTransfers) {
  struct Row {
    const char* name;
    const char* fault;
    std::uint8_t sequence_after;  // from 240
  };
  const Row rows[] = {
      {"RegisterAnswers", nullptr, 2},  // 240 -> 1 for the read, 2 for the write-back
      {"RegisterSilent", "no-reply-reg=400", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    if (row.fault != nullptr) {
      std::string error;
      ASSERT_TRUE(rig.chip.AddFault(row.fault, &error)) << error;
    }
    rig.chip.SetRegister(kRegWriteMode, 0x5B);
    rig.Init();
    const auto start = rig.clock.Now();
    EXPECT_EQ(rig.Dialog().PrepareWriteMode(), S_OK);
    EXPECT_EQ(rig.Dialog().ReportSequence, row.sequence_after);
    EXPECT_TRUE(rig.Texts().empty());
    EXPECT_EQ(rig.Dialog().DeviceOpen, 0u);
    EXPECT_GE(rig.clock.Now() - start, milliseconds(200));
    if (row.fault == nullptr) {
      EXPECT_EQ(rig.chip.Register(kRegWriteMode), 0x5A);
    }
  }
}

TEST(PrepareWriteMode, FailuresShowOneBoxAndReleaseTheDevice) {
  struct Row {
    const char* name;
    bool chip_present;
    MessageBoxRequest box;
  };
  const Row rows[] = {
      {"PreparationNotWritten", true,
       {std::string(msg::kEepromCantBeWritten), std::string(msg::kCaptionPrepare),
        MessageIcon::kStop}},
      {"NoChip", false,
       {std::string(msg::kDeviceNotFound), std::string(msg::kCaptionWrite), MessageIcon::kStop}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.spy.FailWrites(IsModePreparation);
    rig.Init();
    rig.chip.SetPresent(row.chip_present);
    rig.UseImage();
    rig.Write();
    const std::vector<MessageBoxRequest> boxes = rig.controls.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, row.box.text);
    EXPECT_EQ(boxes[0].caption, row.box.caption);
    EXPECT_EQ(boxes[0].icon, row.box.icon);
    EXPECT_EQ(rig.Dialog().LastWriteRequest().stopped_at, WriteRequestStep::kPrepareWriteMode);
    EXPECT_EQ(rig.Dialog().DeviceOpen, 0u);
    EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
    EXPECT_EQ(rig.chip.EepromTransfers(), 0u);
  }
}

TEST(DeviceSteps, AProbeWhileAFailureBoxIsUpLooksAtTheBusNotAtTheLink) {
  // A firmware-mode chip stays out of ROM mode; a device change heard while the step's failure
  // box is up must not count the link the step had open as a chip in ROM mode.
  struct Row {
    const char* name;
    bool (*fails)(const std::uint8_t* report);
    HResult (CQZ670xWriteEepromMPUtyDlg::*step)();
  };
  const Row rows[] = {
      {"EraseNotSent", IsEraseCommand, &CQZ670xWriteEepromMPUtyDlg::EraseEeprom},
      {"PreparationNotWritten", IsModePreparation, &CQZ670xWriteEepromMPUtyDlg::PrepareWriteMode},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(Firmware());
    rig.spy.FailWrites(row.fails);
    rig.Init();
    CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
    ASSERT_EQ(dialog.NotInRomMode, 1u);
    bool box_seen = false;
    rig.controls.SetMessageHandler([&](const MessageBoxRequest& message) {
      if (message.text != msg::kEepromCantBeWritten) return;
      box_seen = true;
      EXPECT_EQ(dialog.DeviceOpen, 0u);
      const DeviceBroadcastHeader header;
      EXPECT_EQ(dialog.OnDeviceChange(kDbtDeviceArrival, &header), 0u);
      EXPECT_EQ(dialog.NotInRomMode, 1u);
    });
    EXPECT_EQ((dialog.*row.step)(), E_FAIL);
    EXPECT_TRUE(box_seen);
    EXPECT_EQ(dialog.NotInRomMode, 1u);
    EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
  }
}

}  // namespace
}  // namespace qz::test
