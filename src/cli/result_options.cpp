// Where every unit's result goes: the options `station` and `write` share, and how they meet the
// station configuration and a job that fixes the targets.
#include <chrono>

#include <nlohmann/json.hpp>

#include "cli/cli_common.h"

namespace qz::cli {

void ResultArgs::AddTo(CLI::App& command) {
  command
      .add_option("--result-program", program,
                  "The factory's program every unit's result goes to: run without a shell, the "
                  "unit's row as one JSON object on its standard input; exit 0 took it, 65 "
                  "refuses it for good, anything else: try again later")
      ->type_name("'CMD ARGS'");
  command
      .add_option("--result-url", url,
                  "Post every unit's result (its row as JSON, Idempotency-Key: the unit's id) to "
                  "URL; 2xx and 409 took it, other 4xx refuse it for good, anything else: try "
                  "again later. https:// is verified; http:// to another machine is taken but "
                  "sends the results unencrypted")
      ->type_name("URL");
  command.add_option("--result-ca", ca, "CA certificates (PEM) for an https:// --result-url")
      ->type_name("FILE");
  command
      .add_option("--result-timeout", timeout_seconds,
                  "Seconds one delivery of a result may take")
      ->type_name("SECONDS")
      ->capture_default_str();
}

std::optional<results::ResultTargets> ResultTargetsFor(const ResultArgs& args,
                                                       const CLI::App& command,
                                                       const RunSetup& setup,
                                                       const Output& output, int* exit) {
  const auto given = [&command](const char* name) {
    const CLI::Option* option = command.get_option_no_throw(name);
    return option != nullptr && option->count() > 0;
  };
  const jobs::Job* job = setup.job ? &setup.job->job : nullptr;
  const bool job_fixes = job != nullptr && jobs::FixesResults(*job);
  if (job_fixes) {
    for (const char* name : {"--result-program", "--result-url"}) {
      if (!given(name)) continue;
      *output.err << "qz670x-mp-cli: " << name
                  << " cannot be given with this job: the job decides where the results go\n";
      *exit = static_cast<int>(Exit::kUsage);
      return std::nullopt;
    }
  }
  results::ResultTargets targets = production::ConfiguredResultTargets(job, setup.settings);
  if (!job_fixes && (given("--result-program") || given("--result-url"))) {
    targets.program = args.program;
    targets.url = args.url;
    targets.ca = targets.url.empty() ? std::string() : setup.settings.result_ca;
  }
  if (given("--result-ca")) targets.ca = args.ca;
  targets.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::duration<double>(args.timeout_seconds));
  if (const std::string why = results::TargetsProblem(targets); !why.empty()) {
    *output.err << "qz670x-mp-cli: " << why << '\n';
    *exit = static_cast<int>(Exit::kUsage);
    return std::nullopt;
  }
  if (const std::string note = results::PlainHttpNote(targets.url); !note.empty()) {
    if (output.json) {
      output.JsonLine(JsonText({{"type", "note"}, {"message", note}}));
    } else {
      *output.err << "qz670x-mp-cli: note: " << note << '\n';
    }
  }
  return targets;
}

}  // namespace qz::cli
