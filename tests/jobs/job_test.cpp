// Job files, their signatures and the checks before a job runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/job_file.h"
#include "jobs/job_run.h"
#include "support/job_fixtures.h"
#include "support/sample_images.h"

namespace qz::jobs {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A directory of trusted keys holding `pems`.
std::string KeyDir(const test::ScratchDir& dir, std::vector<std::string> pems) {
  const std::string keys = dir.File("keys");
  fs::create_directory(keys);
  for (std::size_t i = 0; i < pems.size(); ++i) {
    WriteText(keys + "/key" + std::to_string(i) + ".pem", pems[i]);
  }
  return keys;
}

// Refused: unreadable, or not signed by a trusted key over exactly these contents.
bool Refused(const std::string& text, const std::string& trusted) {
  std::string error;
  const std::optional<Job> job = ParseJob(text, &error);
  return !job || !VerifyJob(*job, trusted, &error);
}

// Every leaf of `node`, by its JSON pointer.
void Leaves(const json& node, const json::json_pointer& at, std::vector<json::json_pointer>* out) {
  if (node.is_object() && !node.empty()) {
    for (const auto& [key, value] : node.items()) Leaves(value, at / key, out);
  } else if (node.is_array() && !node.empty()) {
    for (std::size_t i = 0; i < node.size(); ++i) Leaves(node[i], at / i, out);
  } else {
    out->push_back(at);
  }
}

TEST(JobSignature, AnOpensslSignedJobVerifiesAndAnyChangeToItIsRefused) {
  test::ScratchDir dir;
  const std::string trusted = KeyDir(dir, {test::kFactoryPublicPem});
  const std::string text = test::kSignedSmallJob;
  ASSERT_FALSE(Refused(text, trusted));

  // one byte changed anywhere in the file
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string changed = text;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_TRUE(Refused(changed, trusted)) << "byte " << i << " of\n" << changed;
  }
  // every field given another value that still parses
  const json file = json::parse(text);
  std::vector<json::json_pointer> leaves;
  Leaves(file["job"], json::json_pointer("/job"), &leaves);
  leaves.emplace_back("/version");
  for (const json::json_pointer& leaf : leaves) {
    json changed = file;
    json& value = changed[leaf];
    if (value.is_string()) {
      value = value.get<std::string>() == "AQID" ? "AQIE" : value.get<std::string>() + "0";
    } else if (value.is_boolean()) {
      value = !value.get<bool>();
    } else if (value.is_number_unsigned()) {
      value = value.get<std::uint64_t>() + 1;
    } else if (value.is_null()) {
      value = "5067";
    } else {
      value = json::array({"X"});
    }
    EXPECT_TRUE(Refused(changed.dump(2), trusted)) << leaf.to_string();
  }
  // a field added
  json added = file;
  added["job"]["overrides"]["serial"] = "1";
  EXPECT_TRUE(Refused(added.dump(2), trusted));
}

TEST(JobSignature, UnknownKeysAndKeyFilesThatAreNoPublicP256KeysAreRefused) {
  const std::optional<Job> job = [] {
    std::string error;
    return ParseJob(test::kSignedSmallJob, &error);
  }();
  ASSERT_TRUE(job);
  struct Case {
    std::vector<std::string> pems;
    std::string says;
  };
  const Case cases[] = {
      {{test::kOtherPublicPem}, "not among the trusted keys"},
      {{}, "not among the trusted keys"},
      {{test::kFactoryPublicPem, test::kFactoryPrivatePem}, "not a PEM public key"},
      {{test::kP384PublicPem}, "not an ECDSA P-256 key"},
  };
  for (const Case& c : cases) {
    test::ScratchDir dir;
    std::string error;
    EXPECT_FALSE(VerifyJob(*job, KeyDir(dir, c.pems), &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(JobFile, DamagedFilesGetClearMessages) {
  const std::string text = test::kSignedSmallJob;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  const std::pair<std::string, std::string> cases[] = {
      {text.substr(0, text.size() / 2), "truncated"},
      {"", "truncated"},
      {"{\"format\": \"qz670x-mp job\", }", "not valid JSON: unexpected \"}\" at line 1, column 29"},
      {"{\n  \"format\": x\n}", "not valid JSON: unexpected \"x\" at line 2, column 13"},
      {"{\"n\": 1e999}", "a number too large"},
      {replaced("\"version\": 1", "\"version\": 2"), "format version 2"},
      {replaced("AQID", "AQ#D"), "not valid base64"},
      {replaced("AQID", "AQIE"), "does not match its SHA-256"},
      {replaced("\"note\"", "\"notes\""), "unknown field \"notes\""},
      {replaced("\"product\"", "\"produce\""), "unknown override"},
      {replaced("\"developer\"", "\"fast\""), "mode"},
  };
  for (const auto& [changed, says] : cases) {
    std::string error;
    EXPECT_FALSE(ParseJob(changed, &error)) << says;
    EXPECT_NE(error.find(says), std::string::npos) << error;
    EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
  }
}

TEST(JobRun, StationsRefuseJobsTheyCannotCheckOrThatAreNotTheirs) {
  test::ScratchDir dir;
  json file = json::parse(test::kSignedSmallJob);
  file.erase("signature");
  const std::string unsigned_job = dir.File("unsigned.qzjob");
  WriteText(unsigned_job, file.dump(2));
  const std::string signed_job = dir.File("signed.qzjob");
  WriteText(signed_job, test::kSignedSmallJob);
  const std::string trusted = KeyDir(dir, {test::kFactoryPublicPem});

  JobRefusal refusal;
  EXPECT_FALSE(PrepareJobRun(unsigned_job, {true, trusted, "S1"}, &refusal));
  EXPECT_NE(refusal.message.find("only signed jobs"), std::string::npos) << refusal.message;
  EXPECT_EQ(refusal.exit, station::Exit::kJobRefused);
  // signed before jobs carried their public key: only a station with trusted keys can check it
  EXPECT_FALSE(PrepareJobRun(signed_job, {false, "", "S1"}, &refusal));
  EXPECT_EQ(refusal.exit, station::Exit::kJobRefused);
  EXPECT_NE(refusal.message.find("sign it again with `job sign`, or give this station its trusted keys"),
            std::string::npos)
      << refusal.message;
  EXPECT_FALSE(PrepareJobRun(signed_job, {true, trusted, "S2"}, &refusal));
  EXPECT_NE(refusal.message.find("not for this one (S2)"), std::string::npos) << refusal.message;
  // trusted and for this station, but its three-byte image fails the image checks
  EXPECT_FALSE(PrepareJobRun(signed_job, {true, trusted, "S1"}, &refusal));
  EXPECT_EQ(refusal.exit, station::Exit::kImageRejected);
  EXPECT_FALSE(refusal.messages.empty());
}

}  // namespace
}  // namespace qz::jobs
