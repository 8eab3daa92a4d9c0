// `job`: production jobs made, shown, signed and verified. Running one is `write --job` and
// `station --job`.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "cli/cli_common.h"
#include "crypto/crypto.h"
#include "dialog/messages.h"
#include "image/image_file.h"
#include "jobs/job_file.h"
#include "jobs/job_run.h"
#include "production/station_config.h"
#include "serials/command_line.h"

namespace qz::cli {

namespace {

constexpr const char* kAppName = "qz670x-mp-cli";

int Fail(const Output& output, Exit exit, const std::string& message) {
  *output.err << kAppName << ": " << message << '\n';
  return static_cast<int>(exit);
}

bool WriteJobFile(const std::string& path, const jobs::Job& job) {
  const std::string text = jobs::FormatJob(job);
  AtomicFileWriter writer;
  return writer.Open(path.c_str()) &&
         writer.Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
         writer.Commit();
}

struct CreateArgs {
  std::string out;
  std::string image;
  TargetOptions target;
  DescriptorOptions descriptor;
  std::string serial_format;
  std::optional<std::string> serial_start;
  std::string serial_list_name;  // a list imported into the line database
  std::string serial_program;    // the factory's program, its command line
  std::string name;
  std::string revision;
  std::string note;
  std::vector<std::string> stations;
  std::string result_program;
  std::string result_url;
  bool force = false;
};

int RunCreate(const CreateArgs& args, const Output& output) {
  std::error_code failed;
  if (!args.force && std::filesystem::exists(args.out, failed)) {
    return Fail(output, Exit::kUsage,
                "the job file \"" + args.out + "\" exists already: give --force to replace it");
  }
  if (const std::string problem = args.descriptor.NotPlainHex(); !problem.empty()) {
    return Fail(output, Exit::kUsage, problem);
  }
  jobs::Job job;
  job.name = args.name;
  job.revision = args.revision;
  job.note = args.note;
  std::string image;
  if (std::string why; !ReadWholeFile(args.image, &image, &why)) {
    output.Message({std::string(msg::kFailToOpenFile), kAppName, MessageIcon::kNone,
                    MessageAbout::kOther, "\"" + args.image + "\": " + why});
    return static_cast<int>(Exit::kImageRejected);
  }
  job.image.assign(image.begin(), image.end());
  job.image_name = std::filesystem::path(args.image).filename().string();
  job.image_sha256 = crypto::Sha256Hex(job.image);
  job.factory = args.target.factory;
  job.evb = args.target.evb;
  job.vid = args.target.vid;
  job.pid = args.target.pid;
  job.overrides = args.descriptor.Applied();
  job.stations = args.stations;
  job.result_program = args.result_program;
  job.result_url = args.result_url;
  if (const std::string why =
          results::TargetsProblem({args.result_program, args.result_url, {}, std::chrono::seconds(1)});
      !why.empty()) {
    return Fail(output, Exit::kUsage, why);
  }
  if (!args.serial_format.empty()) {
    std::string why;
    const std::optional<std::uint64_t> start =
        prodlog::ParseSerialStart(args.serial_start.value_or("1"), &why);
    if (!start) return Fail(output, Exit::kUsage, "--serial-start: " + why);
    if (!prodlog::SerialFormat::Parse(args.serial_format, &why)) {
      return Fail(output, Exit::kUsage, "--serial-format: " + why);
    }
    job.serial = jobs::JobSerial{args.serial_format, *start, "", ""};
  } else if (args.serial_start) {
    return Fail(output, Exit::kUsage, "--serial-start needs --serial-format");
  }
  const int sources = !args.serial_format.empty() + !args.serial_list_name.empty() +
                      !args.serial_program.empty();
  if (sources > 1) {
    return Fail(output, Exit::kUsage,
                "--serial-format, --serial-list-name and --serial-program exclude each other");
  }
  if (!args.serial_list_name.empty()) job.serial = jobs::JobSerial{"", 1, args.serial_list_name, ""};
  if (!args.serial_program.empty()) {
    std::string why;
    if (!serials::SplitCommandLine(args.serial_program, &why)) {
      return Fail(output, Exit::kUsage, "--serial-program: " + why);
    }
    job.serial = jobs::JobSerial{"", 1, "", args.serial_program};
  }
  const jobs::ImageCheck check = jobs::CheckJobImage(job, /*with_save_bin=*/true);
  for (const MessageBoxRequest& message : check.messages) output.Message(message);
  if (check.exit != Exit::kOk) {
    if (!check.problem.empty()) *output.err << kAppName << ": " << check.problem << '\n';
    return static_cast<int>(check.exit);
  }
  job.firmware_id = check.firmware_id;
  if (!WriteJobFile(args.out, job)) {
    return Fail(output, Exit::kIoError, "cannot write the job file \"" + args.out + "\"");
  }
  if (!output.json) *output.err << kAppName << ": job \"" << job.name << "\" revision "
                                << job.revision << " written to " << args.out << " (unsigned)\n";
  return 0;
}

// The trusted keys a command checks against: --trusted, else the station configuration's
// ("" when it names none); nullopt with the message printed when the configuration is broken.
std::optional<std::string> TrustedKeys(const std::string& given, const Output& output) {
  if (!given.empty()) return given;
  std::string error;
  const std::optional<production::StationSettings> settings =
      production::LoadStationSettings(&error);
  if (!settings) {
    (void)Fail(output, Exit::kConfig, error);
    return std::nullopt;
  }
  return settings->trusted_keys;
}

int RunShow(const std::string& path, const std::string& trusted_given, const Output& output) {
  const std::optional<std::string> trusted = TrustedKeys(trusted_given, output);
  if (!trusted) return static_cast<int>(Exit::kConfig);
  std::string error;
  const std::optional<jobs::LoadedJob> loaded = jobs::ReadJobFile(path, &error);
  if (!loaded) return Fail(output, Exit::kJobRefused, error);
  std::vector<jobs::JobSetting> lines = jobs::DescribeJobSettings(loaded->job);
  // whether the signature holds: a broken one is shown, not hidden behind "signed by"
  std::string why;
  const std::optional<jobs::JobSignature> signature =
      jobs::CheckSignature(loaded->job, *trusted, &why);
  lines.push_back({"signature", "signature",
                   signature ? jobs::DescribeSignature(loaded->job, *signature)
                             : "DOES NOT VERIFY: " + why});
  if (output.json) {
    nlohmann::json line = {{"type", "job"},
                           {"file", path},
                           {"job_sha256", loaded->file_sha256},
                           {"signature_valid", signature && *signature != jobs::JobSignature::kUnsigned}};
    for (const jobs::JobSetting& setting : lines) line["settings"][setting.key] = setting.value;
    output.JsonLine(JsonText(line));
  } else {
    *output.out << "file: " << path << '\n' << "file SHA-256: " << loaded->file_sha256 << '\n';
    for (const jobs::JobSetting& setting : lines) {
      *output.out << setting.label << ": " << setting.value << '\n';
    }
  }
  return 0;
}

int RunSign(const std::string& path, const std::string& key_path, const Output& output) {
  if (!crypto::CanSign()) {
    return Fail(output, Exit::kUsage,
                "job sign is not available on this platform; sign jobs on Linux");
  }
  std::string error;
  std::optional<jobs::LoadedJob> loaded = jobs::ReadJobFile(path, &error);
  if (!loaded) return Fail(output, Exit::kJobRefused, error);
  std::string pem;
  if (std::string why; !ReadWholeFile(key_path, &pem, &why)) {
    return Fail(output, Exit::kIoError, "cannot read the key \"" + key_path + "\": " + why);
  }
  jobs::Job& job = loaded->job;
  const std::optional<crypto::SignResult> signature =
      crypto::SignP256(pem, jobs::SignedBytes(job), &error);
  if (!signature) return Fail(output, Exit::kUsage, key_path + ": " + error);
  jobs::AttachSignature(job, signature->signature, signature->public_key.spki);
  if (!WriteJobFile(path, job)) {
    return Fail(output, Exit::kIoError, "cannot write the job file \"" + path + "\"");
  }
  if (!output.json) *output.err << kAppName << ": " << path << " signed by key " << job.key_id << '\n';
  return 0;
}

int RunVerify(const std::string& path, const std::string& trusted_given, const Output& output) {
  const std::optional<std::string> found = TrustedKeys(trusted_given, output);
  if (!found) return static_cast<int>(Exit::kConfig);
  const std::string& trusted = *found;
  if (trusted.empty()) {
    return Fail(output, Exit::kUsage,
                "give the trusted keys with --trusted DIR (no trusted-keys in the station configuration)");
  }
  std::string error;
  const std::optional<jobs::LoadedJob> loaded = jobs::ReadJobFile(path, &error);
  if (!loaded) return Fail(output, Exit::kJobRefused, error);
  if (!jobs::VerifyJob(loaded->job, trusted, &error)) {
    return Fail(output, Exit::kJobRefused, path + ": " + error);
  }
  if (output.json) {
    output.JsonLine(JsonText({{"type", "verified"}, {"file", path}, {"key", loaded->job.key_id}}));
  } else {
    *output.out << path << ": valid signature by trusted key " << loaded->job.key_id << '\n';
  }
  return 0;
}

}  // namespace

void AddJobCommand(CLI::App& app, Context& context) {
  CLI::App* job = app.add_subcommand(
      "job", "Production jobs: an image with its mode, overrides, target and serial numbers, "
             "signed with a key of the factory's");
  job->require_subcommand(1);

  {
    auto args = std::make_shared<CreateArgs>();
    CLI::App* create = job->add_subcommand(
        "create", "Make a job file OUT from IMAGE and the settings of `write` after every check "
                  "Write EEPROM and Save BIN run");
    create->add_option("OUT", args->out, "Job file to write (.qzjob)")->required();
    create->add_option("--image", args->image, "Image file (.bin, 32784 bytes)")
        ->required()
        ->check(PathLengthValidator());
    args->target.AddTo(*create);
    args->descriptor.AddTo(*create);
    create->add_option("--serial-format", args->serial_format,
                       "Serial number of each unit, one run of # as the counter")
        ->type_name("TEXT");
    create->add_option("--serial-start", args->serial_start, "First serial number (default 1)")
        ->type_name("N");
    create->add_option("--serial-list-name", args->serial_list_name,
                       "Instead: each unit's serial number from this list imported into the "
                       "line database")
        ->type_name("NAME");
    create->add_option("--serial-program", args->serial_program,
                       "Instead: each unit's serial number from the factory's program")
        ->type_name("'CMD ARGS'");
    create->add_option("--name", args->name, "The job's name")->required();
    create->add_option("--revision", args->revision, "The job's revision")->required();
    create->add_option("--note", args->note, "A note for the operator");
    create->add_option("--station", args->stations,
                       "A station allowed to run the job (repeat; default: any)")
        ->type_name("NAME");
    create->add_option("--result-program", args->result_program,
                       "The factory's program every unit's result goes to (fixed for the "
                       "stations that run the job)")
        ->type_name("'CMD ARGS'");
    create->add_option("--result-url", args->result_url,
                       "The URL every unit's result is posted to (fixed for the stations that run "
                       "the job)")
        ->type_name("URL");
    create->add_flag("--force", args->force, "Replace OUT when it exists (its signature is lost)");
    create->callback([args, &context] { context.exit_code = RunCreate(*args, context.output); });
  }
  {
    auto path = std::make_shared<std::string>();
    auto trusted = std::make_shared<std::string>();
    CLI::App* show = job->add_subcommand(
        "show", "Show a job's settings and whether its signature verifies");
    show->add_option("JOB", *path, "Job file")->required();
    show->add_option("--trusted", *trusted,
                     "Directory of trusted public keys (*.pem; default: the station's "
                     "trusted-keys, else the key the job carries)")
        ->type_name("DIR");
    show->add_flag("--json", context.output.json, "JSON on stdout");
    show->callback(
        [path, trusted, &context] { context.exit_code = RunShow(*path, *trusted, context.output); });
  }
  {
    auto path = std::make_shared<std::string>();
    auto key = std::make_shared<std::string>();
    CLI::App* sign = job->add_subcommand(
        "sign", "Sign a job in place with an ECDSA P-256 private key (openssl genpkey -algorithm "
                "EC -pkeyopt ec_paramgen_curve:P-256)");
    sign->add_option("JOB", *path, "Job file")->required();
    sign->add_option("--key", *key, "Private key (PEM)")->required()->type_name("KEY.pem");
    sign->callback([path, key, &context] { context.exit_code = RunSign(*path, *key, context.output); });
  }
  {
    auto path = std::make_shared<std::string>();
    auto trusted = std::make_shared<std::string>();
    CLI::App* verify = job->add_subcommand(
        "verify", "Check a job's signature: exit 0 only when a trusted key signed exactly this job");
    verify->add_option("JOB", *path, "Job file")->required();
    verify->add_option("--trusted", *trusted,
                       "Directory of trusted public keys (*.pem; default: the station's trusted-keys)")
        ->type_name("DIR");
    verify->callback(
        [path, trusted, &context] { context.exit_code = RunVerify(*path, *trusted, context.output); });
  }
}

}  // namespace qz::cli
