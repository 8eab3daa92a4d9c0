#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog_fixture.h"
#include "image/image_format.h"

namespace qz {
namespace {

namespace layout = sample_layout;

constexpr std::size_t kHsBlock = layout::kHsDTagAt + kTagLength;
constexpr std::size_t kFsBlock = layout::kFsDTagAt + kTagLength;
constexpr std::size_t kStrArea = layout::kStrTagAt + kTagLength;

class ApplyDescriptorUpdatesTest : public test::DialogTest {
 protected:
  void SetUp() override { Use(SampleVariant::kValid); }

  void Use(SampleVariant variant) {
    test::ToBuffer(test::SampleBytes(variant), target());
    before_ = target();
  }
  ImageBuffer& target() { return dialog_->WriteImage; }

  void Set(int box, int edit, const std::string& text) {
    controls_.SetChecked(box, true);
    controls_.SetText(edit, text);
  }
  HResult Apply(bool use_evb = false) {
    return dialog_->ApplyDescriptorUpdates(target(), use_evb, msg::kReplaceStringError);
  }
  std::uint16_t Field(std::size_t block, std::size_t offset) {
    return ReadLe16(target().data() + block + offset);
  }
  std::vector<std::size_t> Changed() {
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < kImageBufferSize; ++i) {
      if (target()[i] != before_[i]) changed.push_back(i);
    }
    return changed;
  }

  ImageBuffer before_;
};

TEST_F(ApplyDescriptorUpdatesTest, HexEditsFollowTheNumberRules) {
  struct Case {
    std::string text;
    std::string_view message;  // empty: accepted
    std::uint16_t value;
  };
  const Case cases[] = {
      {"", msg::kInvalidHsBcd, 0},
      {"10000", msg::kInvalidHsBcdValue, 0},
      {"FFFF", {}, 0xFFFF},
      {"0x12ab", {}, 0x12AB},
      {"12zz", {}, 0x0012},
      {"xyz", {}, 0x0000},
      {"-1", msg::kInvalidHsBcdValue, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    Use(SampleVariant::kValid);
    controls_.ClearMessages();
    Set(ctl::kHsBcdBox, ctl::kHsBcdEdit, c.text);
    if (c.message.empty()) {
      EXPECT_EQ(Apply(), S_OK);
      EXPECT_TRUE(Messages().empty());
      EXPECT_EQ(Field(kHsBlock, kBcdDeviceOffset), c.value);
    } else {
      EXPECT_EQ(Apply(), E_FAIL);
      EXPECT_EQ(Messages(), std::vector<std::string>{std::string(c.message)});
    }
  }
}

TEST_F(ApplyDescriptorUpdatesTest, EachDeviceFieldHasItsMessagesAndItsPlace) {
  struct Case {
    int box;
    int edit;
    std::string_view empty_message;
    std::string_view value_message;
    std::size_t block;
    std::size_t offset;
  };
  // the hidden vendor and product rows are read like the others when their box is checked
  const Case cases[] = {
      {ctl::kHsVidBox, ctl::kHsVidEdit, msg::kInvalidHsVendorId, msg::kInvalidHsVendorIdValue,
       kHsBlock, kIdVendorOffset},
      {ctl::kHsPidBox, ctl::kHsPidEdit, msg::kInvalidHsProductId, msg::kInvalidHsProductIdValue,
       kHsBlock, kIdProductOffset},
      {ctl::kHsBcdBox, ctl::kHsBcdEdit, msg::kInvalidHsBcd, msg::kInvalidHsBcdValue, kHsBlock,
       kBcdDeviceOffset},
      {ctl::kFsVidBox, ctl::kFsVidEdit, msg::kInvalidFsVendorId, msg::kInvalidFsVendorIdValue,
       kFsBlock, kIdVendorOffset},
      {ctl::kFsPidBox, ctl::kFsPidEdit, msg::kInvalidFsProductId, msg::kInvalidFsProductIdValue,
       kFsBlock, kIdProductOffset},
      {ctl::kFsBcdBox, ctl::kFsBcdEdit, msg::kInvalidFsBcd, msg::kInvalidFsBcdValue, kFsBlock,
       kBcdDeviceOffset},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "box " << c.box);
    for (const auto& [text, message] :
         {std::pair<std::string, std::string_view>{"", c.empty_message}, {"1FFFF", c.value_message}}) {
      controls_.ClearMessages();
      Set(c.box, c.edit, text);
      EXPECT_EQ(Apply(), E_FAIL);
      EXPECT_EQ(Messages(), std::vector<std::string>{std::string(message)});
    }
    Use(SampleVariant::kValid);
    controls_.ClearMessages();
    Set(c.box, c.edit, "0xA5C3");
    ASSERT_EQ(Apply(), S_OK);
    EXPECT_EQ(Field(c.block, c.offset), 0xA5C3);
    // that field and the language bytes (already 04 03 09 04 here), nothing else
    EXPECT_EQ(Changed(), (std::vector<std::size_t>{c.block + c.offset, c.block + c.offset + 1}));
    controls_.SetChecked(c.box, false);
  }
}

TEST_F(ApplyDescriptorUpdatesTest, TheFirstFailureInFieldOrderIsTheOneShown) {
  Set(ctl::kSerialBox, ctl::kSerialEdit, "");           // strings come last
  Set(ctl::kFsVidBox, ctl::kFsVidEdit, "");             // full speed after high speed
  Set(ctl::kHsBcdBox, ctl::kHsBcdEdit, "10000");
  Set(ctl::kHsPidBox, ctl::kHsPidEdit, "6842");         // valid
  EXPECT_EQ(Apply(), E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::string>{std::string(msg::kInvalidHsBcdValue)});

  controls_.ClearMessages();
  Set(ctl::kHsBcdBox, ctl::kHsBcdEdit, "1");
  EXPECT_EQ(Apply(), E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::string>{std::string(msg::kInvalidFsVendorId)});

  controls_.ClearMessages();
  Set(ctl::kFsVidBox, ctl::kFsVidEdit, "1");
  EXPECT_EQ(Apply(), E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::string>{std::string(msg::kSerialLength)});
}

TEST_F(ApplyDescriptorUpdatesTest, StringsAreOneToThirtyTwoUtf16Units) {
  struct Case {
    const char* name;
    std::string text;
    bool accepted;
  };
  std::string emoji16, emoji17;
  for (int i = 0; i < 16; ++i) emoji16 += "\xF0\x9F\x8E\xB5";
  emoji17 = emoji16 + "\xF0\x9F\x8E\xB5";
  std::string e_acute32;
  for (int i = 0; i < 32; ++i) e_acute32 += "\xC3\xA9";
  const Case cases[] = {
      {"32 letters", std::string(32, 'm'), true},
      {"33 letters", std::string(33, 'm'), false},
      {"empty", "", false},
      {"200 letters, read as 127", std::string(200, 'm'), false},
      {"32 accented letters (64 bytes)", e_acute32, true},
      {"16 characters beyond U+FFFF", emoji16, true},
      {"17 characters beyond U+FFFF", emoji17, false},
      {"Latin-1 bytes", "Caf\xE9", false},
  };
  const struct {
    int box;
    int edit;
    std::string_view message;
    std::size_t slot;
  } fields[] = {
      {ctl::kManufacturerBox, ctl::kManufacturerEdit, msg::kManufacturerLength, 1},
      {ctl::kProductBox, ctl::kProductEdit, msg::kProductLength, 2},
      {ctl::kHsAudioBox, ctl::kHsAudioEdit, msg::kHsAudioLength, 3},
      {ctl::kFsAudioBox, ctl::kFsAudioEdit, msg::kFsAudioLength, 5},
      {ctl::kSerialBox, ctl::kSerialEdit, msg::kSerialLength, 6},
  };
  for (const auto& field : fields) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "slot " << field.slot << ", " << c.name);
      Use(SampleVariant::kValid);
      controls_.ClearMessages();
      Set(field.box, field.edit, c.text);
      if (c.accepted) {
        ASSERT_EQ(Apply(), S_OK);
        EXPECT_TRUE(Messages().empty());
        EXPECT_EQ(DecodeStringSlot(target().data() + kStrArea, field.slot), c.text);
      } else {
        EXPECT_EQ(Apply(), E_FAIL);
        EXPECT_EQ(Messages(), std::vector<std::string>{std::string(field.message)});
        EXPECT_TRUE(Changed().empty());
      }
    }
    controls_.SetChecked(field.box, false);
  }
}

TEST_F(ApplyDescriptorUpdatesTest, ABoxCountsByItsCheckedStateAlone) {
  // checked but disabled: applied
  Set(ctl::kProductBox, ctl::kProductEdit, "AB");
  controls_.SetEnabled(ctl::kProductBox, false);
  controls_.SetEnabled(ctl::kProductEdit, false);
  // unchecked with a bad text: neither read nor applied
  controls_.SetText(ctl::kHsBcdEdit, "not hex at all, and too long for 16 bits: 123456");
  controls_.SetText(ctl::kManufacturerEdit, std::string(40, 'x'));
  ASSERT_EQ(Apply(), S_OK);
  EXPECT_TRUE(Messages().empty());
  const std::uint8_t* slot2 = target().data() + kStrArea + StringSlotOffset(2);
  EXPECT_EQ(slot2[0], 0x08);
  EXPECT_EQ(Field(kHsBlock, kBcdDeviceOffset), 0x0100);
  EXPECT_EQ(DecodeStringSlot(target().data() + kStrArea, 1), "QZ Audio");
}

TEST_F(ApplyDescriptorUpdatesTest, EvaluationBoardIdsWinButCheckedFieldsAreStillValidated) {
  Set(ctl::kHsBcdBox, ctl::kHsBcdEdit, "0222");
  Set(ctl::kFsPidBox, ctl::kFsPidEdit, "7777");
  ASSERT_EQ(Apply(true), S_OK);
  EXPECT_EQ(Field(kHsBlock, kIdVendorOffset), 0x1D6C);
  EXPECT_EQ(Field(kHsBlock, kIdProductOffset), 0x0001);
  EXPECT_EQ(Field(kHsBlock, kBcdDeviceOffset), 0x0100);
  EXPECT_EQ(Field(kFsBlock, kIdVendorOffset), 0x1D6C);
  EXPECT_EQ(Field(kFsBlock, kIdProductOffset), 0x0002);
  EXPECT_EQ(Field(kFsBlock, kBcdDeviceOffset), 0x0100);

  Set(ctl::kFsBcdBox, ctl::kFsBcdEdit, "");
  EXPECT_EQ(Apply(true), E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::string>{std::string(msg::kInvalidFsBcd)});
}

TEST_F(ApplyDescriptorUpdatesTest, MissingBlocksAreSilentExceptTheStringArea) {
  Use(SampleVariant::kNoHsD);
  Set(ctl::kHsBcdBox, ctl::kHsBcdEdit, "0300");
  EXPECT_EQ(Apply(true), S_OK);
  EXPECT_TRUE(Messages().empty());

  const SampleVariant no_area[] = {SampleVariant::kNoStr, SampleVariant::kStrAtEnd};
  for (SampleVariant variant : no_area) {
    SCOPED_TRACE(SampleVariantName(variant));
    Use(variant);
    controls_.ClearMessages();
    EXPECT_EQ(dialog_->ApplyDescriptorUpdates(target(), false, msg::kUpdateFileError2), E_FAIL);
    EXPECT_EQ(Messages(), std::vector<std::string>{std::string(msg::kUpdateFileError2)});
  }
}

}  // namespace
}  // namespace qz
