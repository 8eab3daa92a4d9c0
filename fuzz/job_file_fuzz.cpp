// A job file's text through the parser: no crash, and whatever parses survives a round trip
// through its own text unchanged, signature bytes included.
#include <string_view>

#include "base/base64.h"
#include "fuzz_entries.h"
#include "jobs/job_file.h"

namespace qz::fuzz {

int FuzzJobFile(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // base64: what decodes encodes back to the same text
  if (const auto bytes = Base64Decode(text)) Require(Base64Encode(*bytes) == text, "base64 round trip");
  std::string error;
  const std::optional<jobs::Job> job = jobs::ParseJob(text, &error);
  if (!job) {
    Require(!error.empty(), "a refused job has a message");
    return 0;
  }
  const std::optional<jobs::Job> again = jobs::ParseJob(jobs::FormatJob(*job), &error);
  Require(again.has_value(), "a parsed job parses again from its own text");
  Require(jobs::SignedBytes(*again) == jobs::SignedBytes(*job), "the signed bytes survive");
  Require(again->key_id == job->key_id && again->signature == job->signature &&
              again->public_key == job->public_key,
          "the signature survives");
  return 0;
}

}  // namespace qz::fuzz
