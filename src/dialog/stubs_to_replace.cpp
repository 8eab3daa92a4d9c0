// Placeholders until the control rules and image operations land.
#include "dialog/qz670x_dialog.h"

namespace qz {
void CQZ670xWriteEepromMPUtyDlg::UpdateModeControls() {}
void CQZ670xWriteEepromMPUtyDlg::UpdateEnableControls() {}
void CQZ670xWriteEepromMPUtyDlg::UseEvbIdsControls() {}
void CQZ670xWriteEepromMPUtyDlg::ResetDescriptorControls() {}
HResult CQZ670xWriteEepromMPUtyDlg::LoadImageFile(const char*) { return E_FAIL; }
void CQZ670xWriteEepromMPUtyDlg::OnReadFromFile() {}
HResult CQZ670xWriteEepromMPUtyDlg::ApplyDescriptorUpdates(ImageBuffer&, bool, std::string_view) { return E_FAIL; }
HResult CQZ670xWriteEepromMPUtyDlg::SaveUpdatedImage(const char*, const char*) { return E_FAIL; }
void CQZ670xWriteEepromMPUtyDlg::OnSaveBin() {}
}  // namespace qz
