// The station's configuration file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "production/station_config.h"
#include "support/job_fixtures.h"
#include "support/sample_images.h"

namespace qz::production {
namespace {

namespace fs = std::filesystem;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A directory of trusted keys holding `pem`.
std::string KeyDir(const test::ScratchDir& dir, const std::string& pem) {
  const std::string keys = dir.File("keys");
  fs::create_directory(keys);
  WriteText(keys + "/key0.pem", pem);
  return keys;
}

TEST(StationConfig, ReadsItsKeysAndRefusesWhatItCannotUse) {
  test::ScratchDir dir;
  const std::string keys = KeyDir(dir, test::kFactoryPublicPem);
  fs::permissions(keys, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  const std::string path = dir.File("station.toml");
  // (literal strings: a Windows path holds backslashes)
  WriteText(path, "require-signed-jobs = true\ntrusted-keys = '" + keys +
                      "'\nlog = \"/var/lib/qz/p.sqlite3\"\nstation = \"S1\"\nports = [\"1-1\", \"1-2\"]\n");
  std::string error;
  const std::optional<StationSettings> settings = ReadStationConfig(path, &error);
  ASSERT_TRUE(settings) << error;
  EXPECT_TRUE(settings->require_signed_jobs);
  EXPECT_EQ(settings->trusted_keys, keys);
  EXPECT_EQ(settings->station, "S1");
  EXPECT_EQ(settings->ports, (std::vector<std::string>{"1-1", "1-2"}));

  const std::pair<std::string, std::string> cases[] = {
      {"require-signed-jobs = yes\n", "not valid TOML"},
      {"requre-signed-jobs = true\n", "unknown key \"requre-signed-jobs\""},
      {"require-signed-jobs = \"true\"\n", "wrong kind"},
      {"require-signed-jobs = true\n", "needs trusted-keys"},
  };
  for (const auto& [text, says] : cases) {
    WriteText(path, text);
    EXPECT_FALSE(ReadStationConfig(path, &error)) << text;
    EXPECT_NE(error.find(says), std::string::npos) << error;
  }
  EXPECT_FALSE(ReadStationConfig(dir.File("missing.toml"), &error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
#ifndef _WIN32
  fs::permissions(keys, fs::perms::others_write, fs::perm_options::add);
  WriteText(path, "trusted-keys = '" + keys + "'\n");
  EXPECT_FALSE(ReadStationConfig(path, &error));
  EXPECT_NE(error.find("may be written by others"), std::string::npos) << error;
#endif
}


}  // namespace
}  // namespace qz::production
