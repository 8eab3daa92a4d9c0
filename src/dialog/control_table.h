#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace qz {

// Numeric identifiers of the dialog's controls.
namespace ctl {
inline constexpr int kNone = -1;  // a frame or fixed label without an identifier of its own
inline constexpr int kExit = 1;
inline constexpr int kOriginPath = 1000;
inline constexpr int kBrowseOrigin = 1001;
inline constexpr int kWriteEeprom = 1002;
inline constexpr int kProgress = 1003;
inline constexpr int kVendorId = 1004;
inline constexpr int kProductId = 1005;
inline constexpr int kFirmwareId = 1006;
inline constexpr int kExpectedFirmwareId = 1007;
inline constexpr int kOriginLabel = 1008;
inline constexpr int kEepromWp = 1009;
inline constexpr int kStatusMark = 1010;
inline constexpr int kEraseEeprom = 1011;
inline constexpr int kUseEvb = 1012;
inline constexpr int kFileGroup = 1013;
inline constexpr int kManufacturerBox = 1014;
inline constexpr int kManufacturerEdit = 1015;
inline constexpr int kManufacturerHint = 1016;
inline constexpr int kProductBox = 1017;
inline constexpr int kProductEdit = 1018;
inline constexpr int kProductHint = 1019;
inline constexpr int kHsAudioBox = 1020;
inline constexpr int kHsAudioEdit = 1021;
inline constexpr int kHsAudioHint = 1022;
inline constexpr int kFsAudioBox = 1023;
inline constexpr int kFsAudioEdit = 1024;
inline constexpr int kFsAudioHint = 1025;
inline constexpr int kSerialBox = 1026;
inline constexpr int kSerialEdit = 1027;
inline constexpr int kSerialHint = 1028;
inline constexpr int kUpdateLabel = 1031;
inline constexpr int kUpdatePath = 1032;
inline constexpr int kBrowseUpdate = 1033;
inline constexpr int kOriginHint = 1034;
inline constexpr int kUpdateHint = 1035;
inline constexpr int kHsVidBox = 1036;
inline constexpr int kHsVidEdit = 1037;
inline constexpr int kHsPidBox = 1038;
inline constexpr int kHsPidEdit = 1039;
inline constexpr int kHsBcdBox = 1040;
inline constexpr int kHsBcdEdit = 1041;
inline constexpr int kFsVidBox = 1042;
inline constexpr int kFsVidEdit = 1043;
inline constexpr int kFsPidBox = 1044;
inline constexpr int kFsPidEdit = 1045;
inline constexpr int kFsBcdBox = 1046;
inline constexpr int kFsBcdEdit = 1047;
inline constexpr int kFactoryMode = 1049;
inline constexpr int kDeveloperMode = 1050;
inline constexpr int kUserMode = 1051;
inline constexpr int kReadFromFile = 1055;
inline constexpr int kSaveBin = 1056;
inline constexpr int kUpdateEnable = 1057;
inline constexpr int kHsVidHint = 1058;
inline constexpr int kHsPidHint = 1059;
inline constexpr int kFsVidHint = 1060;
inline constexpr int kFsPidHint = 1061;
inline constexpr int kReset = 1062;
}  // namespace ctl

enum class ControlKind {
  kDefaultPushButton,
  kPushButton,
  kGroupBox,
  kLabel,
  kEdit,
  kRadioButton,
  kCheckBox,
  kProgressBar,
};

enum class TextAlign { kLeft, kCenter, kRight };

// One control of the main dialog. Places are dialog units of the 8-point dialog font.
struct ControlSpec {
  int id;
  ControlKind kind;
  std::string_view caption;
  int x, y, width, height;
  bool visible;    // as the template creates it (before the initialisation hides more)
  bool tab_stop;
  TextAlign align;
};

// Size of the dialog in dialog units.
inline constexpr int kDialogWidthDu = 360;
inline constexpr int kDialogHeightDu = 342;
// Caption of the dialog template; the initialisation replaces it with kWindowTitle.
inline constexpr std::string_view kTemplateCaption = "QZ670x Write EEPROM (MP) Utility Tool";
inline constexpr std::string_view kWindowTitle = "QZ6841L Write EEPROM (MP) Utility v1.0.0";

// Every control of the dialog in template order, which is also the tab order.
inline constexpr std::array kControlTable = {
    // clang-format off
    ControlSpec{ctl::kExit, ControlKind::kDefaultPushButton, "Exit", 305, 321, 50, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kFileGroup, ControlKind::kGroupBox, " File", 4, 3, 351, 54, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kOriginLabel, ControlKind::kLabel, "File Name (Origin)", 12, 10, 62, 10, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kOriginHint, ControlKind::kLabel, "(*.bin)", 23, 17, 22, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kOriginPath, ControlKind::kEdit, "", 74, 8, 208, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kBrowseOrigin, ControlKind::kPushButton, "...", 284, 8, 27, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kUpdateLabel, ControlKind::kLabel, "File Name (Update)", 12, 28, 62, 10, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kUpdatePath, ControlKind::kEdit, "", 74, 27, 208, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kBrowseUpdate, ControlKind::kPushButton, "...", 284, 26, 27, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kUpdateHint, ControlKind::kLabel, "(*.bin)", 23, 35, 22, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kReadFromFile, ControlKind::kPushButton, "Read From File", 170, 65, 55, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kSaveBin, ControlKind::kPushButton, "Save BIN", 228, 65, 55, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kFactoryMode, ControlKind::kRadioButton, "Factory mode(32K)", 12, 46, 80, 10, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kDeveloperMode, ControlKind::kRadioButton, "Developer mode(16K+16B)", 90, 46, 99, 10, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kUserMode, ControlKind::kRadioButton, "User mode(16K+16B+Check)", 195, 46, 103, 10, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kUseEvb, ControlKind::kCheckBox, " Use EVB VID (0x1D6C) and PID (0x0001, High Speed), PID (0x0002, Full Speed)", 12, 256, 273, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kNone, ControlKind::kGroupBox, "Target Device", 4, 266, 351, 52, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kWriteEeprom, ControlKind::kPushButton, "Write EEPROM", 280, 277, 61, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kLabel, "Vendor ID", 12, 279, 33, 8, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kVendorId, ControlKind::kEdit, "", 51, 277, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kLabel, "Product ID", 98, 279, 35, 8, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kProductId, ControlKind::kEdit, "", 133, 277, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kProgress, ControlKind::kProgressBar, "", 12, 294, 330, 19, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kFirmwareId, ControlKind::kLabel, "00", 47, 327, 24, 8, false, false, TextAlign::kCenter},
    ControlSpec{ctl::kExpectedFirmwareId, ControlKind::kLabel, "00", 4, 327, 21, 8, false, false, TextAlign::kCenter},
    ControlSpec{ctl::kEepromWp, ControlKind::kCheckBox, " EEPROM WP", 181, 279, 58, 10, false, true, TextAlign::kLeft},
    ControlSpec{ctl::kStatusMark, ControlKind::kLabel, "", 289, 327, 16, 8, true, false, TextAlign::kRight},
    ControlSpec{ctl::kEraseEeprom, ControlKind::kPushButton, "Erase EEPROM", 226, 321, 60, 14, false, true, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kGroupBox, " USB Descriptor", 4, 58, 351, 196, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kUpdateEnable, ControlKind::kCheckBox, " Update Enable", 12, 68, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kManufacturerBox, ControlKind::kCheckBox, " Manufacturer", 22, 84, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kManufacturerEdit, ControlKind::kEdit, "", 91, 82, 181, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kManufacturerHint, ControlKind::kLabel, "(String, Max. 32)", 276, 84, 56, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kProductBox, ControlKind::kCheckBox, " Product", 22, 100, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kProductEdit, ControlKind::kEdit, "", 91, 98, 181, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kProductHint, ControlKind::kLabel, "(String, Max. 32)", 276, 100, 56, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kSerialBox, ControlKind::kCheckBox, " SerialNumber", 22, 116, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kSerialEdit, ControlKind::kEdit, "", 91, 114, 181, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kSerialHint, ControlKind::kLabel, "(String, Max. 32)", 276, 116, 56, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kGroupBox, "High Speed", 19, 129, 321, 60, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kHsVidBox, ControlKind::kCheckBox, " Vendor ID", 22, 140, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kHsVidEdit, ControlKind::kEdit, "", 91, 138, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kHsVidHint, ControlKind::kLabel, "(Hex)", 132, 140, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kHsPidBox, ControlKind::kCheckBox, " Product ID", 163, 140, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kHsPidEdit, ControlKind::kEdit, "", 232, 139, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kHsPidHint, ControlKind::kLabel, "(Hex)", 276, 141, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kHsBcdBox, ControlKind::kCheckBox, " Release Number", 22, 156, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kHsBcdEdit, ControlKind::kEdit, "", 91, 154, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kLabel, "(Hex)", 132, 156, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kHsAudioBox, ControlKind::kCheckBox, " Audio Interface", 22, 172, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kHsAudioEdit, ControlKind::kEdit, "", 91, 170, 181, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kHsAudioHint, ControlKind::kLabel, "(String, Max. 32)", 276, 174, 56, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kGroupBox, "Full Speed", 19, 190, 321, 60, true, false, TextAlign::kLeft},
    ControlSpec{ctl::kFsVidBox, ControlKind::kCheckBox, " Vendor ID", 22, 203, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kFsVidEdit, ControlKind::kEdit, "", 91, 201, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kFsVidHint, ControlKind::kLabel, "(Hex)", 132, 203, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kFsPidBox, ControlKind::kCheckBox, " Product ID", 163, 203, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kFsPidEdit, ControlKind::kEdit, "", 232, 201, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kFsPidHint, ControlKind::kLabel, "(Hex)", 276, 203, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kFsBcdBox, ControlKind::kCheckBox, " Release Number", 22, 219, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kFsBcdEdit, ControlKind::kEdit, "", 91, 217, 40, 14, true, true, TextAlign::kCenter},
    ControlSpec{ctl::kNone, ControlKind::kLabel, "(Hex)", 132, 219, 19, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kFsAudioBox, ControlKind::kCheckBox, " Audio Interface", 22, 235, 65, 10, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kFsAudioEdit, ControlKind::kEdit, "", 91, 232, 181, 14, true, true, TextAlign::kLeft},
    ControlSpec{ctl::kFsAudioHint, ControlKind::kLabel, "(String, Max. 32)", 276, 235, 56, 8, true, false, TextAlign::kCenter},
    ControlSpec{ctl::kReset, ControlKind::kPushButton, "Reset", 286, 65, 55, 14, true, true, TextAlign::kCenter},
    // clang-format on
};

// The table row of control `id`, or nullopt for an unknown or id-less control.
[[nodiscard]] constexpr std::optional<ControlSpec> FindControl(int id) {
  if (id == ctl::kNone) return std::nullopt;
  for (const ControlSpec& spec : kControlTable) {
    if (spec.id == id) return spec;
  }
  return std::nullopt;
}

// The longest path a "..." chooser may put into a path edit.
inline constexpr int kMaxChosenPathChars = 1023;

// Longest text each edit takes: paths as the file dialog hands them over, hexadecimal numbers
// and descriptor strings with room for the length checks to report what is too long.
[[nodiscard]] constexpr int EditTextLimit(int id) {
  switch (id) {
    case ctl::kOriginPath:
    case ctl::kUpdatePath:
      return kMaxChosenPathChars;
    case ctl::kManufacturerEdit:
    case ctl::kProductEdit:
    case ctl::kSerialEdit:
    case ctl::kHsAudioEdit:
    case ctl::kFsAudioEdit:
      return 127;
    default:
      return 259;
  }
}

// Control groups that the enabling rules work on.
namespace groups {
inline constexpr std::array<int, 3> kModeRadios = {ctl::kFactoryMode, ctl::kDeveloperMode, ctl::kUserMode};
// The ten descriptor option boxes (the serial-number box follows a rule of its own).
inline constexpr std::array<int, 10> kDescriptorOptionBoxes = {
    ctl::kManufacturerBox, ctl::kProductBox, ctl::kHsVidBox, ctl::kHsPidBox, ctl::kHsBcdBox,
    ctl::kHsAudioBox,      ctl::kFsVidBox,   ctl::kFsPidBox, ctl::kFsBcdBox, ctl::kFsAudioBox};
// The twenty descriptor controls: the ten option boxes and their edits.
inline constexpr std::array<int, 20> kDescriptorControls = {
    ctl::kManufacturerBox, ctl::kManufacturerEdit, ctl::kProductBox, ctl::kProductEdit,
    ctl::kHsVidBox,        ctl::kHsVidEdit,        ctl::kHsPidBox,   ctl::kHsPidEdit,
    ctl::kHsBcdBox,        ctl::kHsBcdEdit,        ctl::kHsAudioBox, ctl::kHsAudioEdit,
    ctl::kFsVidBox,        ctl::kFsVidEdit,        ctl::kFsPidBox,   ctl::kFsPidEdit,
    ctl::kFsBcdBox,        ctl::kFsBcdEdit,        ctl::kFsAudioBox, ctl::kFsAudioEdit};
inline constexpr std::array<int, 3> kUpdateFileControls = {ctl::kUpdatePath, ctl::kBrowseUpdate, ctl::kSaveBin};
// Rows that the initialisation hides: vendor-ID and product-ID rows of both speeds.
inline constexpr std::array<int, 12> kHiddenIdRows = {
    ctl::kHsVidBox, ctl::kHsVidEdit, ctl::kHsVidHint, ctl::kHsPidBox, ctl::kHsPidEdit, ctl::kHsPidHint,
    ctl::kFsVidBox, ctl::kFsVidEdit, ctl::kFsVidHint, ctl::kFsPidBox, ctl::kFsPidEdit, ctl::kFsPidHint};
}  // namespace groups

}  // namespace qz
