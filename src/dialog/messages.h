#pragma once

#include <string_view>

// Every text the dialog shows an operator, in one place. They are the system's own words:
// spelling and spacing are part of the interface (test stations match on them).
namespace qz::msg {

// image loading
inline constexpr std::string_view kFailPathError = "Fail Path Error";
inline constexpr std::string_view kFailToOpenFile = "Fail to open file";
inline constexpr std::string_view kFileSizeError = "File size error";
inline constexpr std::string_view kInvalidFile = "Invalid File";
inline constexpr std::string_view kInvalidFileCrc = "Invalid File..";
inline constexpr std::string_view kFwError = "Fw Error!";
inline constexpr std::string_view kReadFileError = "Read File Error!";

// descriptor overrides
inline constexpr std::string_view kInvalidHsVendorId = "Invalid High Speed Device's Vendor ID";
inline constexpr std::string_view kInvalidHsVendorIdValue = "Invalid High Speed Device's Vendor ID..";
inline constexpr std::string_view kInvalidHsProductId = "Invalid High Speed Device's Product ID";
inline constexpr std::string_view kInvalidHsProductIdValue = "Invalid High Speed Device's Product ID..";
inline constexpr std::string_view kInvalidHsBcd = "Invalid High Speed Device's bcdDevice";
inline constexpr std::string_view kInvalidHsBcdValue = "Invalid High Speed Device's bcdDevice..";
inline constexpr std::string_view kInvalidFsVendorId = "Invalid Full Speed Device's Vendor ID";
inline constexpr std::string_view kInvalidFsVendorIdValue = "Invalid Full Speed Device's Vendor ID..";
inline constexpr std::string_view kInvalidFsProductId = "Invalid Full Speed Device's Product ID";
inline constexpr std::string_view kInvalidFsProductIdValue = "Invalid Full Speed Device's Product ID..";
inline constexpr std::string_view kInvalidFsBcd = "Invalid Full Speed Device's bcdDevice";
inline constexpr std::string_view kInvalidFsBcdValue = "Invalid Full Speed Device's bcdDevice..";
inline constexpr std::string_view kManufacturerLength = "Manufacturer's Length Error! Please check again";
inline constexpr std::string_view kProductLength = "Product's Length Error! Please check again";
inline constexpr std::string_view kHsAudioLength = "Hs Audio Interface's Length Error! Please check again";
inline constexpr std::string_view kFsAudioLength = "Fs Audio Interface's Length Error! Please check again";
inline constexpr std::string_view kSerialLength = "SerialNumber's Length Error! Please check again";
inline constexpr std::string_view kReplaceStringError = "Replace String Error!";

// Save BIN
inline constexpr std::string_view kOriginalFilePathError = "Original File Path Error";
inline constexpr std::string_view kUpdateFilePathError = "Update File Path Error";
inline constexpr std::string_view kUpdateFileError1 = "Update File Error!(1)";
inline constexpr std::string_view kUpdateFileError2 = "Update File Error!(2)";
inline constexpr std::string_view kUpdateFileError3 = "Update File Error!(3)";
inline constexpr std::string_view kUpdateFileError4 = "Update File Error!(4)";
inline constexpr std::string_view kSaveFileOk = "Save File OK!";
inline constexpr std::string_view kSaveFileError = "Save File Error!";

// device search, erase, mode preparation
inline constexpr std::string_view kDeviceNotFound = "USB deivce is NOT found!!";
inline constexpr std::string_view kCaptionWrite = "Write to EEPROM";
inline constexpr std::string_view kCaptionWriteNotInRom = "Write to EEPROM(1)";
inline constexpr std::string_view kReplugDevice =
    "Please re-plugin USB device and MUST wait for USB device being recognized.\n"
    "Then press button to continue writting EEPROM!!";
inline constexpr std::string_view kCaptionErase = "Write to EEPROM...";
inline constexpr std::string_view kEepromCantBeWritten = "EEPROM Can't be Written!!";
inline constexpr std::string_view kCaptionPrepare = "Write to EEPROM...**";

// the write job
inline constexpr std::string_view kFailToWriteEeprom = "Fail to write EEPROM!!";
inline constexpr std::string_view kFailToReadEeprom = "Fail to read EEPROM!!";
inline constexpr std::string_view kCaptionRead = "Read from EEPROM";
inline constexpr std::string_view kWriteOk = "Write to EEPROM OK!";
// "Write to EEPROM Fail!  Try Again!(N)" for N = 1..12 (two blanks before "Try").
inline constexpr std::string_view kWriteFailPrefix = "Write to EEPROM Fail!  Try Again!(";

// The windows' own texts around the dialog object (the same in every toolkit).
// A chosen file's path that does not fit the path edits.
inline constexpr std::string_view kPathTooLong =
    "The path of the chosen file is too long (more than 1023 characters).";
// Asked before anything but the end of a job stops a running write.
inline constexpr std::string_view kStopWriteQuestion =
    "A write to the EEPROM is in progress.\n"
    "Stopping it now leaves the chip's EEPROM header cleared, and the chip must be written "
    "again.\n\n"
    "Stop the write and exit?";

}  // namespace qz::msg
