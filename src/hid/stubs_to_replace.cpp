// Placeholders until the HID link and command reports land.
#include "hid/command_reports.h"

namespace qz {
int OpenHidDevice(HidLink&, std::uint16_t, std::uint16_t, std::uint16_t*, std::uint16_t*) { return 0; }
int WriteOutputReport(HidLink&, const std::uint8_t*) { return -1; }
int ReadInputReport(HidLink&, std::uint8_t*) { return 0; }
void CloseHidLink(HidLink& link) { link.device.reset(); }
void AdvanceEepromSequence(std::uint8_t&) {}
void AdvanceRegisterSequence(std::uint8_t&) {}
bool EepromTransfer(HidLink&, std::uint16_t, bool, std::uint8_t, std::uint8_t*, std::uint8_t) { return false; }
bool RegisterTransfer(HidLink&, std::uint8_t*, bool, std::uint16_t, std::uint8_t) { return false; }
HResult SendEraseCommand(HidLink&) { return E_FAIL; }
HResult SendModePreparation(HidLink&) { return E_FAIL; }
HResult ReadChipStatus(HidLink&, std::uint8_t&, std::uint8_t*) { return E_FAIL; }
HResult ReadChipIdentity(HidLink&, std::uint8_t&, std::uint32_t*) { return E_FAIL; }
}  // namespace qz
