#pragma once
// A production job (.qzjob): what a station writes and how, decided by an engineer and signed
// with a key of the factory's. The file is JSON: a format name and version, the job itself, and
// the signature over the job's canonical bytes (SignedBytes) with the signer's public key beside
// it, so that a station without trusted keys still finds a job changed after it was signed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::jobs {

inline constexpr int kJobFormatVersion = 1;
inline constexpr std::string_view kJobFormatName = "qz670x-mp job";

// The descriptor overrides a job may hold, named as the command line names them (without
// "--"), in the dialog's order.
inline constexpr std::string_view kOverrideNames[] = {
    "manufacturer", "product", "serial", "hs-audio", "fs-audio", "hs-bcd",
    "fs-bcd",       "hs-vid",  "hs-pid", "fs-vid",   "fs-pid"};

// Where a job's serial numbers come from: a counter (format and start), or instead a list
// imported into the line database (its name), or the factory's program (its command line).
struct JobSerial {
  std::string format;  // one run of # as the counter; empty with a list or a program
  std::uint64_t start = 1;
  std::string list;
  std::string program;
};

struct Job {
  std::string name;
  std::string revision;
  std::string note;
  std::string image_name;           // the origin file's name, for people
  std::vector<std::uint8_t> image;  // the origin file's bytes
  std::string image_sha256;         // lower-case hex
  bool factory = false;             // Factory mode, else Developer mode
  bool evb = false;                 // the evaluation-board IDs instead of the ID overrides
  std::vector<std::pair<std::string, std::string>> overrides;  // (name, edit text), dialog order
  std::string vid = "1D6C";         // target IDs, as the dialog's edits hold them
  std::string pid = "6841";
  std::optional<std::string> firmware_id;  // 4 hex digits after the header check; none: no QZFwLTag
  std::optional<JobSerial> serial;
  std::vector<std::string> stations;  // empty: any station
  // where every unit's result goes, fixed for the stations that run the job; "" none
  std::string result_program;  // 'CMD ARGS'
  std::string result_url;
  // the signature; all empty when unsigned
  std::string key_id;                    // SHA-256 of the signer's public key (its DER)
  std::vector<std::uint8_t> signature;   // r || s
  std::vector<std::uint8_t> public_key;  // the signer's DER SubjectPublicKeyInfo; empty in jobs
                                         // signed before the key was carried (format 1 all the same)

  [[nodiscard]] bool Signed() const { return !key_id.empty(); }
};

// The bytes a signature covers: the format version and every field of the job (everything but
// the signature), in one canonical serialisation.
[[nodiscard]] std::vector<std::uint8_t> SignedBytes(const Job& job);

// True when the job fixes where every unit's result goes (a program or a URL).
[[nodiscard]] inline bool FixesResults(const Job& job) {
  return !job.result_program.empty() || !job.result_url.empty();
}

// The file's text.
[[nodiscard]] std::string FormatJob(const Job& job);
// Reads a job file's text; nullopt with a message saying what is wrong.
[[nodiscard]] std::optional<Job> ParseJob(std::string_view text, std::string* error);

// One line per setting, for `job show` and the station window: a stable key (snake_case, for
// JSON), the label people read, and the value as text.
struct JobSetting {
  std::string key;
  std::string label;
  std::string value;
};
[[nodiscard]] std::vector<JobSetting> DescribeJobSettings(const Job& job);
// (label, value) of each of DescribeJobSettings.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> DescribeJob(const Job& job);

}  // namespace qz::jobs
