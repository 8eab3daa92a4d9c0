// The in-memory dialog template: its header and one item per control, walked back the way the
// dialog manager reads them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/dialog_template.h"
#include "image/utf16.h"

namespace qz {
namespace {

class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::uint16_t Word() {
    EXPECT_LE(pos_ + 2, bytes_.size());
    const auto value = static_cast<std::uint16_t>(bytes_.at(pos_) | (bytes_.at(pos_ + 1) << 8));
    pos_ += 2;
    return value;
  }
  std::uint32_t Dword() {
    const std::uint32_t low = Word();
    return low | (std::uint32_t{Word()} << 16);
  }
  std::string Text() {
    const std::size_t start = pos_;
    std::size_t units = 0;
    while (Word() != 0) ++units;
    return DecodeUtf16Le(bytes_.data() + start, units);
  }
  // A class or menu: an ordinal, or a name.
  std::string ClassName() {
    if (bytes_.at(pos_) == 0xFF && bytes_.at(pos_ + 1) == 0xFF) {
      Word();
      std::string ordinal = "#";
      ordinal += std::to_string(Word());
      return ordinal;
    }
    return Text();
  }
  void Skip(std::size_t n) { pos_ += n; }
  void AlignToDword() { pos_ = (pos_ + 3) & ~std::size_t{3}; }
  [[nodiscard]] std::size_t Position() const { return pos_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t pos_ = 0;
};

TEST(DialogTemplate, HoldsTheDialogAndEveryControlOfTheTable) {
  const std::vector<std::uint8_t> bytes = BuildDialogTemplate();
  Reader in(bytes);
  EXPECT_EQ(in.Word(), 1);
  EXPECT_EQ(in.Word(), 0xFFFF);
  in.Dword();
  EXPECT_EQ(in.Dword(), win_style::kExAppWindow);
  const std::uint32_t style = in.Dword();
  EXPECT_EQ(style & (win_style::kSetFont | win_style::kFixedSys | win_style::kCaption),
            win_style::kSetFont | win_style::kFixedSys | win_style::kCaption);
  EXPECT_EQ(style & 0x00080000u, 0u);  // no system menu, so no close box
  EXPECT_EQ(in.Word(), kControlTable.size());
  in.Skip(4);
  EXPECT_EQ(in.Word(), kDialogWidthDu);
  EXPECT_EQ(in.Word(), kDialogHeightDu);
  EXPECT_EQ(in.ClassName(), "");  // no menu
  EXPECT_EQ(in.ClassName(), "");  // the dialog class
  EXPECT_EQ(in.Text(), kTemplateCaption);
  EXPECT_EQ(in.Word(), kDialogFontPoints);
  in.Skip(4);
  EXPECT_EQ(in.Text(), "MS Shell Dlg");

  int radios_starting_a_group = 0;
  for (const ControlSpec& spec : kControlTable) {
    in.AlignToDword();
    SCOPED_TRACE(spec.caption);
    in.Dword();
    in.Dword();
    const std::uint32_t item_style = in.Dword();
    EXPECT_EQ((item_style & win_style::kVisible) != 0, spec.visible);
    EXPECT_EQ((item_style & win_style::kTabStop) != 0, spec.tab_stop);
    if (spec.kind == ControlKind::kRadioButton && (item_style & win_style::kGroup) != 0) {
      ++radios_starting_a_group;
    }
    EXPECT_EQ(static_cast<std::int16_t>(in.Word()), spec.x);
    EXPECT_EQ(static_cast<std::int16_t>(in.Word()), spec.y);
    EXPECT_EQ(static_cast<std::int16_t>(in.Word()), spec.width);
    EXPECT_EQ(static_cast<std::int16_t>(in.Word()), spec.height);
    EXPECT_EQ(static_cast<std::uint16_t>(in.Dword()), static_cast<std::uint16_t>(spec.id));
    const std::string class_name = in.ClassName();
    EXPECT_EQ(class_name, spec.kind == ControlKind::kEdit          ? "#129"
                          : spec.kind == ControlKind::kLabel       ? "#130"
                          : spec.kind == ControlKind::kProgressBar ? "msctls_progress32"
                                                                   : "#128");
    EXPECT_EQ(in.Text(), spec.caption);
    EXPECT_EQ(in.Word(), 0);
  }
  EXPECT_EQ(radios_starting_a_group, 1);  // one group: checking one radio unchecks the others
  EXPECT_EQ(in.Position(), bytes.size());
}

TEST(WideText, RoundTripsAndReplacesWhatCannotCross) {
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x8E\xA7")), "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x8E\xA7");
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qz
