// The rules that enable and disable the dialog's controls when the operator picks a mode, one
// of the two option boxes "Update Enable" (1057) and the EVB box (1012), or "Reset".
#include "dialog/control_table.h"
#include "dialog/qz670x_dialog.h"

namespace qz {

namespace {

template <typename Ids>
void SetEnabledAll(DialogControls& controls, const Ids& ids, bool enabled) {
  for (int id : ids) controls.SetEnabled(id, enabled);
}

}  // namespace

void CQZ670xWriteEepromMPUtyDlg::UpdateModeControls() {
  if (controls_.IsChecked(ctl::kFactoryMode)) {
    controls_.SetEnabled(ctl::kUpdateEnable, true);
    controls_.SetEnabled(ctl::kUseEvb, true);
    SetEnabledAll(controls_, groups::kUpdateFileControls, false);
  } else if (controls_.IsChecked(ctl::kDeveloperMode)) {
    controls_.SetEnabled(ctl::kUpdateEnable, true);
    controls_.SetEnabled(ctl::kUseEvb, true);
    SetEnabledAll(controls_, groups::kUpdateFileControls, true);
  } else {
    // only the hidden User mode radio leads here
    controls_.SetChecked(ctl::kUpdateEnable, false);
    controls_.SetEnabled(ctl::kUpdateEnable, false);
    controls_.SetChecked(ctl::kUseEvb, false);
    controls_.SetEnabled(ctl::kUseEvb, false);
    SetEnabledAll(controls_, groups::kUpdateFileControls, false);
  }
  UpdateEnableControls();
}

void CQZ670xWriteEepromMPUtyDlg::UpdateEnableControls() {
  bool enable = controls_.IsChecked(ctl::kUpdateEnable);
  if (enable) controls_.SetChecked(ctl::kUseEvb, false);
  controls_.SetEnabled(ctl::kSerialBox, enable);
  controls_.SetEnabled(ctl::kSerialEdit, enable);
  // Factory mode keeps only the serial number; the edits keep their texts.
  if (controls_.IsChecked(ctl::kFactoryMode)) {
    for (int id : groups::kDescriptorOptionBoxes) controls_.SetChecked(id, false);
    enable = false;
  }
  SetEnabledAll(controls_, groups::kDescriptorControls, enable);
}

void CQZ670xWriteEepromMPUtyDlg::UseEvbIdsControls() {
  const bool use_evb = controls_.IsChecked(ctl::kUseEvb);
  if (use_evb) controls_.SetChecked(ctl::kUpdateEnable, false);
  // the mode and "Update Enable" are not consulted
  SetEnabledAll(controls_, groups::kDescriptorControls, !use_evb);
  controls_.SetEnabled(ctl::kSerialBox, !use_evb);
  controls_.SetEnabled(ctl::kSerialEdit, !use_evb);
}

void CQZ670xWriteEepromMPUtyDlg::ResetDescriptorControls() {
  static constexpr std::array kBoxes = {
      ctl::kUpdateEnable, ctl::kManufacturerBox, ctl::kProductBox, ctl::kSerialBox,
      ctl::kHsVidBox,     ctl::kHsPidBox,        ctl::kHsBcdBox,   ctl::kHsAudioBox,
      ctl::kFsVidBox,     ctl::kFsPidBox,        ctl::kFsBcdBox,   ctl::kFsAudioBox,
      ctl::kUseEvb};
  static constexpr std::array kEdits = {
      ctl::kManufacturerEdit, ctl::kProductEdit, ctl::kSerialEdit, ctl::kHsVidEdit,
      ctl::kHsPidEdit,        ctl::kHsBcdEdit,   ctl::kHsAudioEdit, ctl::kFsVidEdit,
      ctl::kFsPidEdit,        ctl::kFsBcdEdit,   ctl::kFsAudioEdit};
  for (int id : kBoxes) controls_.SetChecked(id, false);
  for (int id : kEdits) controls_.SetText(id, "");
  // no enabling rule runs: every control keeps its enabled state
}

}  // namespace qz
