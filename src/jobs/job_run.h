#pragma once
// Running a production job: every front end (the command line, the station window, the native
// station window) reads, checks and runs a job through these calls, so a job is refused for the
// same reasons and with the same messages everywhere, before any chip is touched.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dialog/dialog_controls.h"
#include "jobs/job_file.h"
#include "prodlog/production_log.h"
#include "prodlog/serial_numbers.h"
#include "station/unit_run.h"

namespace qz::jobs {

// What the station's configuration says about jobs.
struct JobPolicy {
  bool require_signed = false;  // only jobs signed by a trusted key run
  std::string trusted_keys;     // directory of trusted public keys (*.pem); "" none
  std::string station_name;     // this station's name, matched against the job's stations
};

// What a job's signature was found to be. A signature that does not verify is no state: such a
// job is refused wherever it is read to run.
enum class JobSignature {
  kUnsigned,
  kOwnKey,   // valid by the public key the job carries (a station without trusted keys)
  kTrusted,  // valid by one of the station's trusted keys
};

struct LoadedJob {
  Job job;
  std::string path;
  std::string file_sha256;  // of the whole job file
  JobSignature signature = JobSignature::kUnsigned;
};

// Reads and parses a job file; nullopt with a message.
[[nodiscard]] std::optional<LoadedJob> ReadJobFile(const std::string& path, std::string* error);

// True when the job is signed by one of the public keys in `trusted_dir` and the signature
// covers exactly its contents; false with a message saying which.
[[nodiscard]] bool VerifyJob(const Job& job, const std::string& trusted_dir, std::string* error);

// Checks a job's signature, all or nothing: an unsigned job is kUnsigned; a signed one is checked
// against the trusted keys in `trusted_dir` when given, else against the public key it carries
// (which must be the key it names). nullopt with a message when a signature is there and does
// not verify, or cannot be checked.
[[nodiscard]] std::optional<JobSignature> CheckSignature(const Job& job,
                                                         const std::string& trusted_dir,
                                                         std::string* error);

// The signature's state for people ("valid, by trusted key …", "none: unsigned job", …).
[[nodiscard]] std::string DescribeSignature(const Job& job, JobSignature signature);
// The notice an unsigned job runs with on a station that does not require signed jobs.
[[nodiscard]] std::string UnsignedJobNotice(const LoadedJob& job);

// Puts a signature made over SignedBytes(job) and the signer's public key (DER) into the job.
void AttachSignature(Job& job, std::span<const std::uint8_t> signature,
                     const std::vector<std::uint8_t>& public_key);

// The checks of "Write EEPROM" and "Save BIN" on the job's image and overrides (with the first
// serial number, as every unit's is checked), run without a chip.
struct ImageCheck {
  station::Exit exit = station::Exit::kOk;  // kImageRejected, kOverrideRejected or kOk
  std::vector<MessageBoxRequest> messages;  // the dialog's message boxes on a refusal
  std::optional<std::string> firmware_id;   // what the header check shows (4 hex digits)
  std::string problem;                      // a refusal that is no dialog message
};
[[nodiscard]] ImageCheck CheckJobImage(const Job& job, bool with_save_bin);

// Why a job will not run.
struct JobRefusal {
  station::Exit exit = station::Exit::kJobRefused;
  std::string message;                      // one line, "" when `messages` say it
  std::vector<MessageBoxRequest> messages;  // the dialog's own message boxes
};

// Everything before a chip: the file is read, its signature checked (CheckSignature with the
// policy's trusted keys; unsigned only where the policy allows it), the
// station is one the job names, its image and overrides pass the dialog's checks, and the
// firmware ID is the job's.
[[nodiscard]] std::optional<LoadedJob> PrepareJobRun(const std::string& path, const JobPolicy& policy,
                                                     JobRefusal* refusal);

// The dialog's choices for every unit of the job (its serial numbers come from the log).
[[nodiscard]] station::UnitChoices ChoicesFor(const LoadedJob& job);
// The job's stamp in every unit's row: its key only when its signature was checked (so an
// empty key in a job's row means an unsigned job).
[[nodiscard]] prodlog::JobStamp StampFor(const LoadedJob& job);
// The log's start of a unit of this job (mode, length, overrides, image digest, serial format).
[[nodiscard]] prodlog::UnitStart UnitStartFor(const LoadedJob& job);

}  // namespace qz::jobs
