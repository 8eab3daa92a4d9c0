// The virtual chip's EEPROM file: one chip across separate runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/chip_helpers.h"

namespace qz::sim::test {
namespace {

namespace fs = std::filesystem;

class ChipEepromFile : public testing::Test {
 protected:
  void SetUp() override {
    const char* root = std::getenv("QZ_TEST_TMPDIR");
    dir_ = fs::path(root != nullptr ? root : testing::TempDir()) /
           ("chip_eeprom_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const char* name) const { return (dir_ / name).string(); }

  static void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
};

TEST_F(ChipEepromFile, MissingFileLeavesANewChip) {
  ManualClock clock;
  VirtualChip chip(clock);
  std::string error;
  EXPECT_TRUE(chip.LoadEeprom(PathOf("none.bin"), &error)) << error;
  EXPECT_EQ(chip.Eeprom(), Bytes(kEepromBytes, 0xFF));
  EXPECT_FALSE(fs::exists(PathOf("none.bin")));
}

TEST_F(ChipEepromFile, SavedContentLoadsIntoTheNextChipWithItsMode) {
  const std::string path = PathOf("eeprom.bin");
  Bytes content = FirmwareEeprom();
  PutHsDescriptor(content, 0x80, 0x1D6C, 0x6800);
  {
    ManualClock clock;
    VirtualChip chip(clock);
    chip.SetEeprom(content);
    std::string error;
    ASSERT_TRUE(chip.SaveEeprom(path, &error)) << error;
  }
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "eeprom.bin") << "no temporary file is left";
  }

  ManualClock clock;
  VirtualChip chip(clock);
  std::string error;
  ASSERT_TRUE(chip.LoadEeprom(path, &error)) << error;
  EXPECT_EQ(chip.Eeprom(), content);
  EXPECT_EQ(chip.Mode(), ChipMode::kFirmware);
  EXPECT_EQ(chip.ProductId(), 0x6800);
}

TEST_F(ChipEepromFile, WrongSizedFileIsRefusedAndTheChipKeepsItsContent) {
  for (std::size_t size : {std::size_t{0}, kEepromBytes - 1, kEepromBytes + 1, std::size_t{32784}}) {
    SCOPED_TRACE(size);
    const std::string path = PathOf("odd.bin");
    WriteFile(path, Bytes(size, 0x00));
    ManualClock clock;
    VirtualChip chip(clock);
    std::string error;
    EXPECT_FALSE(chip.LoadEeprom(path, &error));
    EXPECT_NE(error.find("odd.bin"), std::string::npos) << error;
    EXPECT_NE(error.find("32768"), std::string::npos) << error;
    EXPECT_EQ(chip.Eeprom(), Bytes(kEepromBytes, 0xFF));
  }
}

TEST_F(ChipEepromFile, FailedSaveReportsAndKeepsTheOldFile) {
  const std::string path = PathOf("keep.bin");
  WriteFile(path, Bytes(kEepromBytes, 0x11));
  ManualClock clock;
  VirtualChip chip(clock);
  std::string error;
  EXPECT_FALSE(chip.SaveEeprom(PathOf("missing-dir/eeprom.bin"), &error));
  EXPECT_NE(error.find("missing-dir"), std::string::npos) << error;
  EXPECT_FALSE(chip.SaveEeprom(dir_.string(), &error)) << "a directory is not replaced";
  EXPECT_EQ(ReadFile(path), Bytes(kEepromBytes, 0x11));
}

}  // namespace
}  // namespace qz::sim::test
