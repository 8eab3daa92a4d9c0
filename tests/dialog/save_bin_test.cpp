#include <gtest/gtest.h>

#include <algorithm>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog_fixture.h"
#include "image/image_format.h"

namespace qz {
namespace {

namespace layout = sample_layout;
using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;

constexpr std::size_t kHsBlock = layout::kHsDTagAt + kTagLength;
constexpr std::size_t kStrArea = layout::kStrTagAt + kTagLength;
constexpr std::size_t kMark = layout::kFwLTagAt + kTagLength + kUpdatedMarkByte;

class SaveBinTest : public test::DialogTest {
 protected:
  void SetUp() override {
    // a language ID other than 0x0409, so that its rewrite shows
    SampleImageOptions options;
    options.language_id = 0x0407;
    origin_ = WriteSample("origin.bin", options);
    update_ = dir_.File("update.bin");
  }
  Texts Save(const std::string& origin, const std::string& update) {
    controls_.ClearMessages();
    controls_.SetText(ctl::kOriginPath, origin);
    controls_.SetText(ctl::kUpdatePath, update);
    dialog_->OnSaveBin();
    return Messages();
  }
  // Offsets where two images differ.
  static std::vector<std::size_t> Diff(const Bytes& a, const Bytes& b) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
      if (a[i] != b[i]) offsets.push_back(i);
    }
    return offsets;
  }
  // True when every differing offset is one of `allowed` or in the trailer.
  static bool OnlyChanged(const Bytes& a, const Bytes& b, const std::vector<std::size_t>& allowed) {
    for (std::size_t offset : Diff(a, b)) {
      if (offset >= kSumOffset) continue;
      if (std::find(allowed.begin(), allowed.end(), offset) == allowed.end()) {
        ADD_FAILURE() << "byte " << offset << " changed";
        return false;
      }
    }
    return true;
  }

  std::string origin_;
  std::string update_;
};

TEST_F(SaveBinTest, FailuresShowTheirMessagesAndCreateNoFile) {
  const std::string no_fwl = WriteSample("no-fwl.bin", SampleVariant::kNoFwL);
  const std::string no_str = WriteSample("no-str.bin", SampleVariant::kNoStr);
  std::filesystem::create_directory(dir_.File("folder"));
  struct Case {
    const char* name;
    std::string origin;
    std::string update;
    bool bad_override;
    Texts messages;
  };
  const Case cases[] = {
      {"origin missing", dir_.File("none.bin"), update_, false,
       {"Fail to open file", "Update File Error!(1)", "Save File Error!"}},
      {"origin path empty", "", update_, false,
       {"Fail to open file", "Update File Error!(1)", "Save File Error!"}},
      {"override invalid", origin_, update_, true,
       {"Invalid High Speed Device's bcdDevice..", "Save File Error!"}},
      {"no string area", no_str, update_, false, {"Update File Error!(2)", "Save File Error!"}},
      {"no firmware block", no_fwl, update_, false, {"Update File Error!(3)", "Save File Error!"}},
      {"update path empty", origin_, "", false, {"Update File Error!(4)", "Save File Error!"}},
      {"update directory missing", origin_, dir_.File("nowhere/update.bin"), false,
       {"Update File Error!(4)", "Save File Error!"}},
      {"update path is a directory", origin_, dir_.File("folder"), false,
       {"Update File Error!(4)", "Save File Error!"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controls_.SetChecked(ctl::kHsBcdBox, c.bad_override);
    controls_.SetText(ctl::kHsBcdEdit, "12345");
    const std::vector<std::string> entries_before = dir_.Entries();
    EXPECT_EQ(Save(c.origin, c.update), c.messages);
    EXPECT_EQ(dir_.Entries(), entries_before);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.File("folder")));
  }
}

TEST_F(SaveBinTest, AnUpdateFileThatCannotBeMadeNamesTheFolderAndTheReason) {
  const std::string folder = dir_.File("nowhere") + "/";
  ASSERT_EQ(Save(origin_, folder + "update.bin"),
            (Texts{"Update File Error!(4)", "Save File Error!"}));
  const std::vector<MessageBoxRequest> shown = controls_.Messages();
  const auto refusal = std::find_if(shown.begin(), shown.end(), [](const MessageBoxRequest& m) {
    return m.text == "Update File Error!(4)";
  });
  ASSERT_NE(refusal, shown.end());
  const std::string named = "\"" + folder + "\": ";
  const std::size_t at = refusal->detail.find(named);
  ASSERT_NE(at, std::string::npos) << refusal->detail;
  EXPECT_GT(refusal->detail.size(), at + named.size() + 4) << refusal->detail;
}

TEST_F(SaveBinTest, NullPathsAreReportedBeforeLoading) {
  EXPECT_EQ(dialog_->SaveUpdatedImage(nullptr, update_.c_str()), E_FAIL);
  EXPECT_EQ(Messages(), Texts{"Original File Path Error"});
  controls_.ClearMessages();
  EXPECT_EQ(dialog_->SaveUpdatedImage(origin_.c_str(), nullptr), E_FAIL);
  EXPECT_EQ(Messages(), Texts{"Update File Path Error"});
}

TEST_F(SaveBinTest, APathLongerThan259CharactersIsRefusedNotCut) {
  // 270-character paths whose first 259 characters name a usable file: cut short, the save
  // would load that other origin, or write under a name the operator never gave.
  constexpr std::size_t kTaken = 259;
  const std::size_t name_room = 270 - (dir_.path().size() + 1);
  ASSERT_LT(dir_.path().size() + 1, kTaken - 8) << "scratch directory too deep for this test";
  const std::string long_origin = dir_.File(std::string(name_room, 'o'));
  const std::string long_update = dir_.File(std::string(name_room, 'u'));
  test::WriteBytes(long_origin.substr(0, kTaken), test::ReadBytes(origin_));
  const std::vector<std::string> entries_before = dir_.Entries();

  EXPECT_EQ(Save(long_origin, update_), (Texts{"Original File Path Error", "Save File Error!"}));
  EXPECT_EQ(Save(origin_, long_update), (Texts{"Update File Path Error", "Save File Error!"}));
  EXPECT_EQ(dir_.Entries(), entries_before);

  // 259 characters are still a path
  EXPECT_EQ(Save(long_origin.substr(0, kTaken), long_update.substr(0, kTaken)),
            Texts{"Save File OK!"});
  EXPECT_TRUE(test::FileExists(long_update.substr(0, kTaken)));
}

TEST_F(SaveBinTest, WithoutOverridesOnlyLanguageMarkAndTrailerChange) {
  ASSERT_EQ(Save(origin_, update_), Texts{"Save File OK!"});
  const Bytes origin = test::ReadBytes(origin_);
  const Bytes saved = test::ReadBytes(update_);
  ASSERT_EQ(saved.size(), kImageSize);
  EXPECT_EQ(Diff(origin, saved).front(), kMark);
  EXPECT_TRUE(OnlyChanged(origin, saved, {kMark, kStrArea + 2}));
  EXPECT_EQ(saved[kMark], origin[kMark] | 0x80);
  EXPECT_EQ(saved[kStrArea + 2], 0x09);
  // the buffer holds exactly what was written, then the zero spare bytes
  EXPECT_TRUE(std::equal(saved.begin(), saved.end(), dialog_->UpdateImage.bytes.begin()));
  for (std::size_t i = kImageSize; i < kImageBufferSize; ++i) EXPECT_EQ(dialog_->UpdateImage[i], 0);

  // the saved file is a valid image again
  controls_.ClearMessages();
  EXPECT_EQ(dialog_->LoadImageFile(update_.c_str()), S_OK);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SaveBinTest, OverridesLandInTheSavedFileAndTheEvbBoxIsIgnored) {
  controls_.SetChecked(ctl::kUseEvb, true);
  controls_.SetChecked(ctl::kHsBcdBox, true);
  controls_.SetText(ctl::kHsBcdEdit, "0x0203");
  controls_.SetChecked(ctl::kProductBox, true);
  controls_.SetText(ctl::kProductEdit, "AB");
  ASSERT_EQ(Save(origin_, update_), Texts{"Save File OK!"});

  const Bytes origin = test::ReadBytes(origin_);
  const Bytes saved = test::ReadBytes(update_);
  std::vector<std::size_t> allowed = {kMark, kStrArea + 2, kHsBlock + kBcdDeviceOffset,
                                      kHsBlock + kBcdDeviceOffset + 1};
  const std::size_t slot2 = kStrArea + StringSlotOffset(2);
  for (std::size_t i = 0; i < kStringSlotSize; ++i) allowed.push_back(slot2 + i);
  EXPECT_TRUE(OnlyChanged(origin, saved, allowed));
  EXPECT_EQ(ReadLe16(saved.data() + kHsBlock + kBcdDeviceOffset), 0x0203);
  EXPECT_EQ(ReadLe16(saved.data() + kHsBlock + kIdProductOffset), 0x6841);  // not 0x0001
  EXPECT_EQ(DecodeStringSlot(saved.data() + kStrArea, 2), "AB");
}

TEST_F(SaveBinTest, SavingASavedFileAgainKeepsTheMarkAndAValidTrailer) {
  ASSERT_EQ(Save(origin_, update_), Texts{"Save File OK!"});
  const std::string again = dir_.File("again.bin");
  ASSERT_EQ(Save(update_, again), Texts{"Save File OK!"});
  EXPECT_EQ(test::ReadBytes(again), test::ReadBytes(update_));
}

TEST_F(SaveBinTest, SavingOntoTheOriginReplacesIt) {
  const Bytes before = test::ReadBytes(origin_);
  ASSERT_EQ(Save(origin_, origin_), Texts{"Save File OK!"});
  const Bytes after = test::ReadBytes(origin_);
  ASSERT_EQ(after.size(), kImageSize);
  EXPECT_EQ(after[kMark], before[kMark] | 0x80);
  EXPECT_EQ(dir_.Entries(), Texts{"origin.bin"});
}

TEST_F(SaveBinTest, AFailedWriteLeavesTheOldFilesUntouched) {
#ifdef _WIN32
  GTEST_SKIP() << "no per-process file size limit here";
#else
  const Bytes origin = test::ReadBytes(origin_);
  const Bytes old_update(kImageSize, 0x33);
  test::WriteBytes(update_, old_update);

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved;
  limit.rlim_cur = 4096;  // the write of the new image fails part-way
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const Texts to_update = Save(origin_, update_);
  const Texts onto_origin = Save(origin_, origin_);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);

  // no message of its own: the button's message follows
  EXPECT_EQ(to_update, Texts{"Save File Error!"});
  EXPECT_EQ(onto_origin, Texts{"Save File Error!"});
  EXPECT_EQ(test::ReadBytes(update_), old_update);
  EXPECT_EQ(test::ReadBytes(origin_), origin);
  EXPECT_EQ(dir_.Entries(), (Texts{"origin.bin", "update.bin"}));
#endif
}

}  // namespace
}  // namespace qz
