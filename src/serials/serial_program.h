#pragma once

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "serials/program_runner.h"

namespace qz::serials {

// Serial numbers from the factory's program. For a port it runs the command with the extra
// arguments `--station NAME --port PORT --count N` and reads the numbers from the program's
// standard output: one a line, either the number as it stands or a JSON object
// {"serial":"..."}; blank lines are skipped, a CR before a line's end too. An answer is taken
// whole or not at all: a time-out, an exit status other than 0, no number, a line that is
// neither, a number that is no valid serial-number override, or one the program gave before in
// this run refuses the answer, and the port's unit does not start.
//
// Asking ahead: each port keeps `ahead` numbers ready, asked on a thread of its own while the
// port's unit runs, so a unit's start does not wait for the program. Numbers asked but never
// given to a unit (when the station ends) are not recorded and never used again by this run;
// the program may hand them out again. A refused ahead answer is not held against a unit: the
// unit that needs it asks again, and only that answer's refusal stops it.
class ProgramSerials {
 public:
  struct Options {
    std::vector<std::string> command;  // the program and its own arguments
    std::string station;
    std::chrono::milliseconds timeout{10000};
    int ahead = 2;  // numbers kept ready per port; 0: ask when a unit starts
  };
  // `runner` is not owned and outlives this.
  ProgramSerials(ProgramRunner& runner, Options options);
  ~ProgramSerials();  // waits for the asks still running
  ProgramSerials(const ProgramSerials&) = delete;
  ProgramSerials& operator=(const ProgramSerials&) = delete;

  // The number for the next unit on `port`. nullopt and *why (for the operator) when there is
  // none. Calls for one port come one at a time; different ports' calls may overlap.
  [[nodiscard]] std::optional<std::string> Next(const std::string& port, std::string* why);

 private:
  struct Answer {
    std::vector<std::string> numbers;
    std::string refused;  // why the answer was refused; "" when taken
  };
  struct Port {
    std::vector<std::string> ready;  // oldest first
    std::future<Answer> asked;       // an ask ahead on its way
  };

  Answer Ask(const std::string& port, int count);
  // Checks the program's output; the numbers are taken off the run's list of given ones.
  Answer Read(const ProgramRun& run);

  ProgramRunner& runner_;
  const Options options_;
  std::mutex mutex_;  // ports_ and given_
  std::map<std::string, std::unique_ptr<Port>> ports_;
  std::set<std::string> given_;  // every number the program gave this run
};

}  // namespace qz::serials
