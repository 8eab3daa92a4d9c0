#include "dialog/dialog_template.h"

#include <string>

#include "dialog/control_table.h"
#include "image/utf16.h"

namespace qz {

namespace {

// Predefined control classes, as ordinals.
constexpr std::uint16_t kButtonClass = 0x0080;
constexpr std::uint16_t kEditClass = 0x0081;
constexpr std::uint16_t kStaticClass = 0x0082;
constexpr std::u16string_view kProgressClass = u"msctls_progress32";

// Control styles.
constexpr std::uint32_t kBsDefPushButton = 0x1;
constexpr std::uint32_t kBsAutoCheckBox = 0x3;
constexpr std::uint32_t kBsGroupBox = 0x7;
constexpr std::uint32_t kBsAutoRadioButton = 0x9;
constexpr std::uint32_t kEsCenter = 0x1;
constexpr std::uint32_t kEsRight = 0x2;
constexpr std::uint32_t kEsAutoHScroll = 0x80;
constexpr std::uint32_t kSsCenter = 0x1;
constexpr std::uint32_t kSsRight = 0x2;

constexpr std::uint16_t kFontWeightNormal = 400;
constexpr std::uint8_t kDefaultCharset = 1;

class TemplateWriter {
 public:
  void Word(std::uint16_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
  }
  void Dword(std::uint32_t value) {
    Word(static_cast<std::uint16_t>(value & 0xFFFF));
    Word(static_cast<std::uint16_t>(value >> 16));
  }
  void Short(int value) { Word(static_cast<std::uint16_t>(static_cast<std::int16_t>(value))); }
  void Byte(std::uint8_t value) { bytes_.push_back(value); }
  // A zero-terminated UTF-16 string.
  void Text(std::u16string_view text) {
    for (char16_t unit : text) Word(static_cast<std::uint16_t>(unit));
    Word(0);
  }
  void Ordinal(std::uint16_t ordinal) {
    Word(0xFFFF);
    Word(ordinal);
  }
  void AlignToDword() {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

std::uint32_t ControlStyle(const ControlSpec& spec, bool starts_group) {
  std::uint32_t style = win_style::kChild;
  if (spec.visible) style |= win_style::kVisible;
  if (spec.tab_stop) style |= win_style::kTabStop;
  if (starts_group) style |= win_style::kGroup;
  switch (spec.kind) {
    case ControlKind::kDefaultPushButton:
      return style | kBsDefPushButton;
    case ControlKind::kPushButton:
      return style;
    case ControlKind::kGroupBox:
      return style | kBsGroupBox;
    case ControlKind::kLabel:
      return style | (spec.align == TextAlign::kCenter  ? kSsCenter
                      : spec.align == TextAlign::kRight ? kSsRight
                                                        : 0);
    case ControlKind::kEdit:
      return style | kEsAutoHScroll |
             (spec.align == TextAlign::kCenter  ? kEsCenter
              : spec.align == TextAlign::kRight ? kEsRight
                                                : 0);
    case ControlKind::kRadioButton:
      return style | kBsAutoRadioButton;
    case ControlKind::kCheckBox:
      return style | kBsAutoCheckBox;
    case ControlKind::kProgressBar:
      return style | win_style::kBorder;
  }
  return style;
}

std::uint32_t ControlExStyle(const ControlSpec& spec) {
  return spec.kind == ControlKind::kEdit ? win_style::kExClientEdge : 0;
}

std::u16string_view ControlClassName(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit:
      return u"Edit";
    case ControlKind::kLabel:
      return u"Static";
    case ControlKind::kProgressBar:
      return kProgressClass;
    default:
      return u"Button";
  }
}

std::vector<std::uint8_t> BuildDialogTemplate() {
  TemplateWriter out;
  out.Word(1);       // template version
  out.Word(0xFFFF);  // extended template
  out.Dword(0);      // help ID
  out.Dword(win_style::kExAppWindow);
  out.Dword(win_style::kPopup | win_style::kVisible | win_style::kCaption |
            win_style::kModalFrame | win_style::kSetFont | win_style::kFixedSys);
  out.Word(static_cast<std::uint16_t>(kControlTable.size()));
  out.Short(0);
  out.Short(0);
  out.Short(kDialogWidthDu);
  out.Short(kDialogHeightDu);
  out.Word(0);  // no menu
  out.Word(0);  // the dialog manager's own window class
  out.Text(Utf8ToUtf16(kTemplateCaption));
  out.Word(kDialogFontPoints);
  out.Word(kFontWeightNormal);
  out.Byte(0);  // not italic
  out.Byte(kDefaultCharset);
  out.Text(kDialogFontName);

  for (std::size_t i = 0; i < kControlTable.size(); ++i) {
    const ControlSpec& spec = kControlTable[i];
    // Arrow keys move within a group: the first control starts one, and so do the first radio
    // and the first control after the radios.
    const bool radio = spec.kind == ControlKind::kRadioButton;
    const bool starts_group =
        i == 0 || radio != (kControlTable[i - 1].kind == ControlKind::kRadioButton);

    out.AlignToDword();
    out.Dword(0);  // help ID
    out.Dword(ControlExStyle(spec));
    out.Dword(ControlStyle(spec, starts_group));
    out.Short(spec.x);
    out.Short(spec.y);
    out.Short(spec.width);
    out.Short(spec.height);
    // A control without an ID of its own gets the "no ID" value (0xFFFF as a 16-bit ID).
    out.Dword(spec.id == ctl::kNone ? 0xFFFFFFFFu : static_cast<std::uint32_t>(spec.id));
    switch (spec.kind) {
      case ControlKind::kEdit:
        out.Ordinal(kEditClass);
        break;
      case ControlKind::kLabel:
        out.Ordinal(kStaticClass);
        break;
      case ControlKind::kProgressBar:
        out.Text(kProgressClass);
        break;
      default:
        out.Ordinal(kButtonClass);
        break;
    }
    out.Text(Utf8ToUtf16(spec.caption));
    out.Word(0);  // no creation data
  }
  return out.Take();
}

}  // namespace qz
