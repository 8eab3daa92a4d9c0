// Placeholders until the device search, write request and worker land.
#include "dialog/qz670x_dialog.h"

namespace qz {
HResult CQZ670xWriteEepromMPUtyDlg::SearchDevice() { return E_FAIL; }
void CQZ670xWriteEepromMPUtyDlg::ProbeRomMode() {}
bool CQZ670xWriteEepromMPUtyDlg::RegisterDeviceNotifications() { return false; }
std::uint32_t CQZ670xWriteEepromMPUtyDlg::OnDeviceChange(std::uint32_t, const DeviceBroadcastHeader*) { return 0; }
HResult CQZ670xWriteEepromMPUtyDlg::EraseEeprom() { return E_FAIL; }
HResult CQZ670xWriteEepromMPUtyDlg::PrepareWriteMode() { return E_FAIL; }
void CQZ670xWriteEepromMPUtyDlg::ReleaseDevice() {}
void CQZ670xWriteEepromMPUtyDlg::OnWriteEeprom() {}
void CQZ670xWriteEepromMPUtyDlg::StartWorker() {}
void CQZ670xWriteEepromMPUtyDlg::StopWorker() {}
}  // namespace qz
