// The result program: started without a shell for each result, the unit's row on its standard
// input; its exit status says what became of it.
#include <sstream>
#include <utility>
#include <vector>

#include "results/result_target.h"
#include "serials/program_runner.h"
#include "serials/serial_text.h"

namespace qz::results {
namespace {

class ProgramSender final : public ResultSender {
 public:
  ProgramSender(std::string target, std::vector<std::string> command,
                serials::ProgramRunner& runner, std::chrono::milliseconds timeout)
      : target_(std::move(target)), command_(std::move(command)), runner_(runner),
        timeout_(timeout) {}

  const std::string& Target() const override { return target_; }

  SendAnswer Send(const std::string& key, const std::string& body) override {
    (void)key;  // the row carries it (unit_uid)
    using Ending = serials::ProgramRun::Ending;
    const serials::ProgramRun run = runner_.Run(command_, timeout_, body + "\n");
    const std::string name = "result program \"" + command_.front() + "\"";
    switch (run.ending) {
      case Ending::kNotStarted:
        return {SendAnswer::Kind::kRetry, name + " could not be started (" + run.problem + ")"};
      case Ending::kTimedOut: {
        std::ostringstream seconds;
        seconds << static_cast<double>(timeout_.count()) / 1000.0;
        return {SendAnswer::Kind::kRetry,
                name + " did not end within " + seconds.str() + " s and was stopped"};
      }
      case Ending::kExited:
        break;
    }
    if (run.exit_code == 0) return {SendAnswer::Kind::kDelivered, name + " took it"};
    const std::vector<std::pair<int, std::string>> lines = serials::ContentLines(run.errors);
    const std::string said = lines.empty() ? std::string() : " (" + lines.back().second + ")";
    if (run.exit_code == kProgramRefuses) {
      return {SendAnswer::Kind::kRefused, name + " refused it" + said};
    }
    return {SendAnswer::Kind::kRetry,
            name + " exited with status " + std::to_string(run.exit_code) + said};
  }

 private:
  const std::string target_;
  const std::vector<std::string> command_;
  serials::ProgramRunner& runner_;
  const std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<ResultSender> MakeProgramSender(std::string target,
                                                std::vector<std::string> command,
                                                serials::ProgramRunner& runner,
                                                std::chrono::milliseconds timeout) {
  return std::make_unique<ProgramSender>(std::move(target), std::move(command), runner, timeout);
}

}  // namespace qz::results
