#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qz::serials {

// How one run of a program ended.
struct ProgramRun {
  enum class Ending {
    kExited,      // it ended by itself: `exit_code`
    kTimedOut,    // it ran past its time and was stopped (with what it started)
    kNotStarted,  // it could not be started: `problem`
  };
  Ending ending = Ending::kNotStarted;
  int exit_code = 0;    // its exit status; a signal's number + 128 when a signal ended it
  std::string output;   // its standard output
  std::string errors;   // its standard error output (where the platform collects it)
  std::string problem;  // why it could not be started
};

// Runs a program without a shell: argv[0] is looked up on PATH, the rest are its arguments as
// they stand; its standard input reads `input`, then its end. Safe to call from several threads
// at once.
class ProgramRunner {
 public:
  virtual ~ProgramRunner() = default;
  [[nodiscard]] virtual ProgramRun Run(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout,
                                       const std::string& input) = 0;
};

// The platform's runner: a child process with pipes (POSIX spawn, or CreateProcess).
[[nodiscard]] std::unique_ptr<ProgramRunner> MakeProcessRunner();

}  // namespace qz::serials
