#pragma once

// Where a station's results go: the factory's program, a URL, or both (two deliveries per
// unit). The outbox keeps each entry under its target's kind ("program" or "url"), so a restart
// goes on where the last run stopped, also after the factory moved its URL or program.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "results/result_sender.h"

namespace qz::serials {
class ProgramRunner;
}  // namespace qz::serials

namespace qz::results {

// The exit status by which the result program refuses a result for good (EX_DATAERR); any
// other status but 0 means "try again later".
inline constexpr int kProgramRefuses = 65;

struct ResultTargets {
  std::string program;  // 'CMD ARGS', the unit's row on its standard input; "" none
  std::string url;      // http:// or https://; "" none
  std::string ca;       // a CA file (PEM) for an https:// URL; "" the system's
  std::chrono::milliseconds timeout{10000};  // one attempt's longest time

  [[nodiscard]] bool Any() const { return !program.empty() || !url.empty(); }
};

// Why the targets cannot be used (a URL that is not http:// or https:// or has no host, a
// program that is no command line, a CA without an https:// URL or unreadable), or "".
[[nodiscard]] std::string TargetsProblem(const ResultTargets& targets);

// A note for the operator when a URL sends results unencrypted to another machine
// (http:// to a host other than localhost); "" otherwise.
[[nodiscard]] std::string PlainHttpNote(const std::string& url);

// The names the outbox keeps: "program", "url".
[[nodiscard]] std::vector<std::string> TargetNames(const ResultTargets& targets);

// The senders of the targets, in TargetNames' order; `runner` (not owned) starts the program.
// Empty and *error when one cannot be made.
[[nodiscard]] std::vector<std::unique_ptr<ResultSender>> MakeSenders(
    const ResultTargets& targets, serials::ProgramRunner& runner, std::string* error);

// The result program: the unit's row on its standard input; exit 0 delivered, kProgramRefuses
// refused for good (the last line of its standard error says why), anything else, a time-out
// or a program that cannot be started to be tried again.
[[nodiscard]] std::unique_ptr<ResultSender> MakeProgramSender(std::string target,
                                                              std::vector<std::string> command,
                                                              serials::ProgramRunner& runner,
                                                              std::chrono::milliseconds timeout);

}  // namespace qz::results
