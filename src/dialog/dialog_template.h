#pragma once

#include <cstdint>
#include <string_view>

#include "dialog/control_table.h"
#include <vector>

namespace qz {

// The main dialog as an extended dialog template (DLGTEMPLATEEX and one DLGITEMTEMPLATEEX per
// control), built from the control table in the byte layout the Windows dialog manager reads:
// 360 x 342 dialog units, "MS Shell Dlg" 8 pt, a caption and modal frame without a system menu,
// shown in the task bar. Every control carries its ID, class, styles, caption and place. Plain
// bytes, so every platform can build and check it; only the Windows program hands it to the
// dialog manager (the buffer's data is suitably aligned for it).
[[nodiscard]] std::vector<std::uint8_t> BuildDialogTemplate();

// The window class, styles and extended styles of one control of the table as the template
// makes it, for a window that makes some of the dialog's controls one by one. `starts_group`:
// the control begins a group for the arrow keys (the first control, the first radio, the first
// control after the radios).
[[nodiscard]] std::u16string_view ControlClassName(ControlKind kind);
[[nodiscard]] std::uint32_t ControlStyle(const ControlSpec& spec, bool starts_group);
[[nodiscard]] std::uint32_t ControlExStyle(const ControlSpec& spec);

// Window styles the template uses, by their Windows values.
namespace win_style {
inline constexpr std::uint32_t kPopup = 0x80000000;
inline constexpr std::uint32_t kChild = 0x40000000;
inline constexpr std::uint32_t kVisible = 0x10000000;
inline constexpr std::uint32_t kCaption = 0x00C00000;
inline constexpr std::uint32_t kBorder = 0x00800000;
inline constexpr std::uint32_t kGroup = 0x00020000;
inline constexpr std::uint32_t kTabStop = 0x00010000;
inline constexpr std::uint32_t kModalFrame = 0x0080;   // DS_MODALFRAME
inline constexpr std::uint32_t kSetFont = 0x0040;      // DS_SETFONT
inline constexpr std::uint32_t kFixedSys = 0x0008;     // DS_FIXEDSYS
inline constexpr std::uint32_t kExAppWindow = 0x00040000;
inline constexpr std::uint32_t kExClientEdge = 0x00000200;
}  // namespace win_style

// Font of the template.
inline constexpr std::u16string_view kDialogFontName = u"MS Shell Dlg";
inline constexpr std::uint16_t kDialogFontPoints = 8;

}  // namespace qz
