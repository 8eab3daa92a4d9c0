// What "Write EEPROM" does with the origin path before any device is touched.
#include <gtest/gtest.h>

#include <string>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "support/programming_rig.h"

namespace qz::test {
namespace {

TEST(WriteRequest, APathLongerThan259CharactersIsRefusedNotCut) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  // The first 259 characters name a valid image: cut to that length, the path would burn a
  // file the operator never named.
  const std::string path = rig.dir.File(std::string(259 - rig.dir.File("").size(), 'i'));
  ASSERT_EQ(path.size(), 259u);
  WriteBytes(path, rig.image);
  rig.controls.SetText(ctl::kOriginPath, path + "-another-name");
  const int enumerations = rig.spy.Enumerations();

  rig.Dialog().OnWriteEeprom();

  EXPECT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kFailPathError)});
  EXPECT_EQ(rig.spy.Enumerations(), enumerations);  // no device searched
  EXPECT_TRUE(rig.controls.IsEnabled(ctl::kWriteEeprom));
  EXPECT_FALSE(rig.Dialog().JobActive());

  // exactly 259 characters is a path like any other
  rig.controls.ClearMessages();
  rig.controls.SetText(ctl::kOriginPath, path);
  rig.Write();
  EXPECT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});
}

}  // namespace
}  // namespace qz::test
