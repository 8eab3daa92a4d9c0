#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "dialog/control_table.h"
#include "dialog_fixture.h"

namespace qz {
namespace {

// The twenty descriptor controls and the serial-number box and edit.
std::vector<int> TwentyTwo() {
  std::vector<int> ids(groups::kDescriptorControls.begin(), groups::kDescriptorControls.end());
  ids.push_back(ctl::kSerialBox);
  ids.push_back(ctl::kSerialEdit);
  return ids;
}

class ControlRulesTest : public test::DialogTest {
 protected:
  // The state the dialog's initialisation leaves: Developer mode, then the mode rule.
  void SetUp() override {
    controls_.CheckRadio(ctl::kDeveloperMode);
    dialog_->UpdateModeControls();
  }
  // Operator actions: the platform changes the control, then the handler runs.
  void ClickRadio(int id) {
    controls_.CheckRadio(id);
    dialog_->UpdateModeControls();
  }
  void ClickUpdateEnable(bool checked) {
    controls_.SetChecked(ctl::kUpdateEnable, checked);
    dialog_->UpdateEnableControls();
  }
  void ClickEvb(bool checked) {
    controls_.SetChecked(ctl::kUseEvb, checked);
    dialog_->UseEvbIdsControls();
  }
  void CheckAllBoxes() {
    for (int id : groups::kDescriptorOptionBoxes) controls_.SetChecked(id, true);
    controls_.SetChecked(ctl::kSerialBox, true);
  }
  bool AllEnabled(const std::vector<int>& ids, bool enabled) {
    for (int id : ids) {
      if (controls_.IsEnabled(id) != enabled) {
        ADD_FAILURE() << "control " << id << (enabled ? " disabled" : " enabled");
        return false;
      }
    }
    return true;
  }
  // Check state, enabled state and text of every control.
  std::map<int, std::tuple<bool, bool, std::string>> Snapshot() const {
    std::map<int, std::tuple<bool, bool, std::string>> state;
    for (const ControlSpec& spec : kControlTable) {
      if (spec.id == ctl::kNone) continue;
      state[spec.id] = {controls_.IsChecked(spec.id), controls_.IsEnabled(spec.id),
                        controls_.Text(spec.id)};
    }
    return state;
  }
};

TEST_F(ControlRulesTest, StartsWithTheDescriptorControlsDisabled) {
  EXPECT_TRUE(AllEnabled(TwentyTwo(), false));
  EXPECT_TRUE(AllEnabled({ctl::kUpdateEnable, ctl::kUseEvb, ctl::kUpdatePath, ctl::kBrowseUpdate,
                          ctl::kSaveBin},
                         true));
  EXPECT_FALSE(controls_.IsChecked(ctl::kUpdateEnable));
  EXPECT_FALSE(controls_.IsChecked(ctl::kUseEvb));
}

TEST_F(ControlRulesTest, ModeAndUpdateEnableGiveTheOutcomeTable) {
  struct Case {
    const char* name;
    int mode;
    bool update_enable;
    bool serial_enabled;
    bool twenty_enabled;
    bool boxes_stay_checked;
    bool update_file_enabled;
  };
  const Case cases[] = {
      {"Factory, unchecked", ctl::kFactoryMode, false, false, false, false, false},
      {"Factory, checked", ctl::kFactoryMode, true, true, false, false, false},
      {"Developer, unchecked", ctl::kDeveloperMode, false, false, false, true, true},
      {"Developer, checked", ctl::kDeveloperMode, true, true, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CheckAllBoxes();
    controls_.SetText(ctl::kProductEdit, "kept");
    controls_.SetChecked(ctl::kUpdateEnable, c.update_enable);
    ClickRadio(c.mode);

    EXPECT_TRUE(AllEnabled({ctl::kSerialBox, ctl::kSerialEdit}, c.serial_enabled));
    EXPECT_TRUE(AllEnabled({groups::kDescriptorControls.begin(), groups::kDescriptorControls.end()},
                           c.twenty_enabled));
    EXPECT_TRUE(AllEnabled({groups::kUpdateFileControls.begin(), groups::kUpdateFileControls.end()},
                           c.update_file_enabled));
    EXPECT_TRUE(AllEnabled({ctl::kUpdateEnable, ctl::kUseEvb}, true));
    for (int id : groups::kDescriptorOptionBoxes) {
      EXPECT_EQ(controls_.IsChecked(id), c.boxes_stay_checked) << "box " << id;
    }
    // Factory mode leaves the serial-number box and every edit text alone
    EXPECT_TRUE(controls_.IsChecked(ctl::kSerialBox));
    EXPECT_EQ(controls_.Text(ctl::kProductEdit), "kept");
    EXPECT_EQ(controls_.IsChecked(ctl::kUpdateEnable), c.update_enable);
  }
}

TEST_F(ControlRulesTest, BackToDeveloperModeEnablesAgainButLeavesBoxesUnchecked) {
  ClickUpdateEnable(true);
  CheckAllBoxes();
  ClickRadio(ctl::kFactoryMode);
  ClickRadio(ctl::kDeveloperMode);
  EXPECT_TRUE(AllEnabled(TwentyTwo(), true));
  for (int id : groups::kDescriptorOptionBoxes) EXPECT_FALSE(controls_.IsChecked(id)) << id;
  EXPECT_TRUE(controls_.IsChecked(ctl::kSerialBox));
}

TEST_F(ControlRulesTest, UserModeUnchecksAndDisablesBothOptionBoxes) {
  controls_.SetChecked(ctl::kUpdateEnable, true);
  ClickRadio(ctl::kUserMode);
  EXPECT_FALSE(controls_.IsChecked(ctl::kUpdateEnable));
  EXPECT_FALSE(controls_.IsChecked(ctl::kUseEvb));
  EXPECT_TRUE(AllEnabled({ctl::kUpdateEnable, ctl::kUseEvb, ctl::kUpdatePath, ctl::kBrowseUpdate,
                          ctl::kSaveBin},
                         false));
  EXPECT_TRUE(AllEnabled(TwentyTwo(), false));
}

TEST_F(ControlRulesTest, UpdateEnableAndTheEvbBoxExcludeEachOther) {
  ClickUpdateEnable(true);
  ClickEvb(true);
  EXPECT_FALSE(controls_.IsChecked(ctl::kUpdateEnable));
  EXPECT_TRUE(AllEnabled(TwentyTwo(), false));

  ClickUpdateEnable(true);
  EXPECT_FALSE(controls_.IsChecked(ctl::kUseEvb));
  EXPECT_TRUE(AllEnabled(TwentyTwo(), true));
}

TEST_F(ControlRulesTest, UncheckingTheEvbBoxEnablesAllTwentyTwoWhateverTheMode) {
  ClickRadio(ctl::kFactoryMode);
  ClickEvb(true);
  ClickEvb(false);
  EXPECT_FALSE(controls_.IsChecked(ctl::kUpdateEnable));
  EXPECT_TRUE(AllEnabled(TwentyTwo(), true));
}

TEST_F(ControlRulesTest, ClickingTheCheckedRadioAgainChangesNothing) {
  for (int mode : {ctl::kFactoryMode, ctl::kDeveloperMode}) {
    SCOPED_TRACE(mode);
    ClickUpdateEnable(true);
    ClickRadio(mode);
    const auto before = Snapshot();
    ClickRadio(mode);
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(ControlRulesTest, ResetUnchecksAndEmptiesButKeepsEnabledStates) {
  ClickUpdateEnable(true);
  CheckAllBoxes();
  controls_.SetChecked(ctl::kUseEvb, true);
  for (int id : groups::kDescriptorControls) controls_.SetText(id, "text");
  controls_.SetText(ctl::kSerialEdit, "text");
  controls_.SetText(ctl::kOriginPath, "origin.bin");
  controls_.SetText(ctl::kUpdatePath, "update.bin");
  auto before = Snapshot();

  dialog_->ResetDescriptorControls();

  const int boxes[] = {ctl::kUpdateEnable, ctl::kManufacturerBox, ctl::kProductBox,
                       ctl::kSerialBox,    ctl::kHsVidBox,        ctl::kHsPidBox,
                       ctl::kHsBcdBox,     ctl::kHsAudioBox,      ctl::kFsVidBox,
                       ctl::kFsPidBox,     ctl::kFsBcdBox,        ctl::kFsAudioBox,
                       ctl::kUseEvb};
  const int edits[] = {ctl::kManufacturerEdit, ctl::kProductEdit, ctl::kSerialEdit,
                       ctl::kHsVidEdit,        ctl::kHsPidEdit,   ctl::kHsBcdEdit,
                       ctl::kHsAudioEdit,      ctl::kFsVidEdit,   ctl::kFsPidEdit,
                       ctl::kFsBcdEdit,        ctl::kFsAudioEdit};
  for (int id : boxes) std::get<0>(before[id]) = false;
  for (int id : edits) std::get<2>(before[id]).clear();
  // everything else, enabled states included, as it was
  EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace qz
