#include "jobs/job_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "base/base64.h"
#include "base/clock.h"
#include "base/hex_text.h"
#include "base/text.h"
#include "crypto/crypto.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "image/image_format.h"

namespace qz::jobs {

namespace {

namespace fs = std::filesystem;

constexpr const char* kAppName = "qz670x-mp-cli";

struct OverrideControl {
  std::string_view name;
  int box;
  int edit;
};

// The dialog's check box and edit of each override a job may hold.
constexpr OverrideControl kOverrideControls[] = {
    {"manufacturer", ctl::kManufacturerBox, ctl::kManufacturerEdit},
    {"product", ctl::kProductBox, ctl::kProductEdit},
    {"serial", ctl::kSerialBox, ctl::kSerialEdit},
    {"hs-audio", ctl::kHsAudioBox, ctl::kHsAudioEdit},
    {"fs-audio", ctl::kFsAudioBox, ctl::kFsAudioEdit},
    {"hs-bcd", ctl::kHsBcdBox, ctl::kHsBcdEdit},
    {"fs-bcd", ctl::kFsBcdBox, ctl::kFsBcdEdit},
    {"hs-vid", ctl::kHsVidBox, ctl::kHsVidEdit},
    {"hs-pid", ctl::kHsPidBox, ctl::kHsPidEdit},
    {"fs-vid", ctl::kFsVidBox, ctl::kFsVidEdit},
    {"fs-pid", ctl::kFsPidBox, ctl::kFsPidEdit},
};
static_assert(std::size(kOverrideControls) == std::size(kOverrideNames));

station::UnitChoices BareChoices(const Job& job, const std::string& label) {
  station::UnitChoices choices;
  choices.image = label;
  choices.image_bytes = std::make_shared<const std::vector<std::uint8_t>>(job.image);
  choices.factory = job.factory;
  choices.evb = job.evb;
  choices.vid = job.vid;
  choices.pid = job.pid;
  const auto overrides = job.overrides;
  choices.overrides = [overrides](DialogControls& controls) {
    for (const auto& [name, value] : overrides) {
      for (const OverrideControl& control : kOverrideControls) {
        if (control.name != name) continue;
        controls.SetChecked(control.box, true);
        controls.SetText(control.edit, value);
      }
    }
  };
  return choices;
}

constexpr const char* kChangedAfterSigning =
    "the job's signature does not match its contents (changed after it was signed?)";

// A DER SubjectPublicKeyInfo as the PEM text the key readers take.
std::string PublicKeyPem(const std::vector<std::uint8_t>& der) {
  const std::string base64 = Base64Encode(der);
  std::string pem = "-----BEGIN PUBLIC KEY-----\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) pem += base64.substr(at, 64) + "\n";
  return pem + "-----END PUBLIC KEY-----\n";
}

// The public key a signed job carries, once it is known to be the key the job names.
std::optional<crypto::PublicKey> CarriedKey(const Job& job, std::string* error) {
  const std::string carried = crypto::Sha256Hex(job.public_key);
  if (carried != job.key_id) {
    *error = "the job names key " + job.key_id + " but carries the public key " + carried +
             " (changed after it was signed?)";
    return std::nullopt;
  }
  std::string why;
  std::optional<crypto::PublicKey> key = crypto::ParsePublicKeyPem(PublicKeyPem(job.public_key), &why);
  if (!key) *error = "the public key the job carries is " + why;
  return key;
}

}  // namespace

std::optional<LoadedJob> ReadJobFile(const std::string& path, std::string* error) {
  std::string text;
  if (std::string why; !ReadWholeFile(path, &text, &why)) {
    *error = "cannot read the job file \"" + path + "\": " + why;
    return std::nullopt;
  }
  std::string why;
  std::optional<Job> job = ParseJob(text, &why);
  if (!job) {
    *error = path + ": " + why;
    return std::nullopt;
  }
  LoadedJob loaded;
  loaded.job = std::move(*job);
  loaded.path = path;
  loaded.file_sha256 = crypto::Sha256Hex(std::string_view(text));
  return loaded;
}

bool VerifyJob(const Job& job, const std::string& trusted_dir, std::string* error) {
  if (!job.Signed()) {
    *error = "the job is not signed";
    return false;
  }
  // a job that carries a key other than the one it names is refused even where a trusted key matches
  if (!job.public_key.empty() && !CarriedKey(job, error)) return false;
  std::error_code failed;
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(trusted_dir, failed)) {
    if (entry.path().extension() == ".pem") files.push_back(entry.path());
  }
  if (failed) {
    *error = "cannot read the trusted keys in \"" + trusted_dir + "\": " + failed.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  // every file must be a key: a broken one is a fault of the station, even when another matches
  std::optional<crypto::PublicKey> signer;
  for (const fs::path& file : files) {
    std::string pem;
    std::string why;
    if (!ReadWholeFile(file.string(), &pem, &why)) {
      *error = "cannot read the trusted key \"" + file.string() + "\": " + why;
      return false;
    }
    std::optional<crypto::PublicKey> key = crypto::ParsePublicKeyPem(pem, &why);
    if (!key) {
      *error = "the trusted key file \"" + file.string() + "\" is " + why;
      return false;
    }
    if (key->Id() == job.key_id) signer = std::move(key);
  }
  if (signer) {
    if (crypto::VerifyP256(*signer, SignedBytes(job), job.signature)) return true;
    *error = kChangedAfterSigning;
    return false;
  }
  *error = "the job is signed by key " + job.key_id + ", which is not among the trusted keys in \"" +
           trusted_dir + "\"";
  return false;
}

std::optional<JobSignature> CheckSignature(const Job& job, const std::string& trusted_dir,
                                           std::string* error) {
  if (!job.Signed()) return JobSignature::kUnsigned;
  if (!trusted_dir.empty()) {
    if (!VerifyJob(job, trusted_dir, error)) return std::nullopt;
    return JobSignature::kTrusted;
  }
  if (job.public_key.empty()) {
    *error = "the job is signed by key " + job.key_id +
             " but carries no public key to check its signature with (it was signed by an "
             "earlier version): sign it again with `job sign`, or give this station its trusted "
             "keys (trusted-keys in the station configuration)";
    return std::nullopt;
  }
  const std::optional<crypto::PublicKey> key = CarriedKey(job, error);
  if (!key) return std::nullopt;
  if (!crypto::VerifyP256(*key, SignedBytes(job), job.signature)) {
    *error = kChangedAfterSigning;
    return std::nullopt;
  }
  return JobSignature::kOwnKey;
}

std::string DescribeSignature(const Job& job, JobSignature signature) {
  switch (signature) {
    case JobSignature::kTrusted:
      return "valid, by trusted key " + job.key_id;
    case JobSignature::kOwnKey:
      return "valid, by the key the job carries (" + job.key_id +
             "); not checked against trusted keys";
    case JobSignature::kUnsigned:
      break;
  }
  return "none: unsigned job";
}

std::string UnsignedJobNotice(const LoadedJob& job) {
  return "unsigned job: " + job.path +
         " carries no signature, so nothing shows who made it or that it is unchanged";
}

void AttachSignature(Job& job, std::span<const std::uint8_t> signature,
                     const std::vector<std::uint8_t>& public_key) {
  job.key_id = crypto::Sha256Hex(public_key);
  job.signature.assign(signature.begin(), signature.end());
  job.public_key = public_key;
}

ImageCheck CheckJobImage(const Job& job, bool with_save_bin) {
  ImageCheck check;
  station::UnitChoices choices = BareChoices(job, job.image_name.empty() ? "job image" : job.image_name);
  if (job.serial && job.serial->list.empty() && job.serial->program.empty()) {
    std::string why;
    const std::optional<prodlog::SerialFormat> format = prodlog::SerialFormat::Parse(job.serial->format, &why);
    if (!format) {
      check.exit = station::Exit::kOverrideRejected;
      check.problem = "the job's serial format: " + why;
      return check;
    }
    const std::optional<std::string> first = format->Format(job.serial->start);
    if (!first) {
      check.exit = station::Exit::kOverrideRejected;
      check.problem = format->OverflowMessage(job.serial->start);
      return check;
    }
    choices.serial = *first;
  }
  NullHidBackend nothing;
  ManualClock clock;
  HeadlessControls controls;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, nothing, clock, nullptr, kAppName);
    (void)dialog.OnInitDialog();
    station::UnitHooks hooks;
    hooks.on_message = [&](const MessageBoxRequest& message) { check.messages.push_back(message); };
    hooks.replug_timeout = {};
    const station::UnitResult result = station::RunUnit(dialog, controls, choices, hooks);
    if (result.exit == station::Exit::kImageRejected ||
        result.exit == station::Exit::kOverrideRejected) {
      check.exit = result.exit;
    } else {
      check.messages.clear();
      if (dialog.FwInfo.found != 0) {
        check.firmware_id = FormatHex(dialog.FwInfo.info_words[kFirmwareIdWord], 4);
      }
      if (with_save_bin) {
        // Save BIN's own checks, into a file that is dropped again
        const fs::path update =
            fs::temp_directory_path() / ("qz670x-mp-job-check-" + crypto::Sha256Hex(job.image).substr(0, 16) + ".bin");
        controls.ClearMessages();
        controls.SetMessageHandler([&](const MessageBoxRequest& message) { check.messages.push_back(message); });
        const HResult saved = dialog.SaveUpdatedImage(choices.image.c_str(), update.string().c_str());
        controls.SetMessageHandler(nullptr);
        std::error_code ignored;
        fs::remove(update, ignored);
        if (saved != S_OK) {
          check.exit = station::Exit::kImageRejected;
        } else {
          check.messages.clear();
        }
      }
    }
    if (!result.exited) dialog.OnExit();
  }
  return check;
}

std::optional<LoadedJob> PrepareJobRun(const std::string& path, const JobPolicy& policy,
                                       JobRefusal* refusal) {
  *refusal = JobRefusal{};
  std::optional<LoadedJob> loaded = ReadJobFile(path, &refusal->message);
  if (!loaded) return std::nullopt;
  const Job& job = loaded->job;
  if (policy.require_signed && !job.Signed()) {
    refusal->message = "this station runs only signed jobs, and " + path + " is not signed";
    return std::nullopt;
  }
  if (policy.require_signed && policy.trusted_keys.empty()) {
    refusal->message = "this station requires signed jobs but names no trusted keys";
    return std::nullopt;
  }
  std::string why;
  const std::optional<JobSignature> signature = CheckSignature(job, policy.trusted_keys, &why);
  if (!signature) {
    refusal->message = path + ": " + why;
    return std::nullopt;
  }
  loaded->signature = *signature;
  if (!job.stations.empty() &&
      std::find(job.stations.begin(), job.stations.end(), policy.station_name) == job.stations.end()) {
    std::string names;
    for (const std::string& name : job.stations) names += (names.empty() ? "" : ", ") + name;
    refusal->message = "the job \"" + job.name + "\" is made for the stations " + names +
                       ", not for this one (" + policy.station_name + ")";
    return std::nullopt;
  }
  ImageCheck check = CheckJobImage(job, /*with_save_bin=*/false);
  if (check.exit != station::Exit::kOk) {
    refusal->exit = check.exit;
    refusal->messages = std::move(check.messages);
    refusal->message = check.problem;
    return std::nullopt;
  }
  if (check.firmware_id != job.firmware_id) {
    refusal->message = "the job's image shows firmware ID " + check.firmware_id.value_or("none") +
                       " after the header check, the job expects " +
                       job.firmware_id.value_or("none");
    return std::nullopt;
  }
  return loaded;
}

station::UnitChoices ChoicesFor(const LoadedJob& job) { return BareChoices(job.job, job.path); }

prodlog::JobStamp StampFor(const LoadedJob& job) {
  return {job.job.name, job.job.revision, job.file_sha256, job.signature != JobSignature::kUnsigned ? job.job.key_id : ""};
}

prodlog::UnitStart UnitStartFor(const LoadedJob& job) {
  prodlog::UnitStart start;
  start.image_path = job.path;
  start.image_sha256 = job.job.image_sha256;
  prodlog::SetMode(start, job.job.factory);
  start.overrides = job.job.overrides;
  if (job.job.serial && !job.job.serial->list.empty()) {
    start.serial_list_name = job.job.serial->list;
  } else if (job.job.serial && job.job.serial->program.empty()) {
    start.serial_format = prodlog::SerialFormat::Parse(job.job.serial->format, nullptr);
    start.serial_start = job.job.serial->start;
  }
  start.job = StampFor(job);
  return start;
}

}  // namespace qz::jobs
