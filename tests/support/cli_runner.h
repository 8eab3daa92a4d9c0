#pragma once

#include <string>
#include <vector>

namespace qz::test {

// What one in-process run of the command line gave.
struct RunResult {
  int exit = -1;
  std::string out;
  std::string err;
};

// Runs `qz670x-mp-cli args...` in this process with captured streams.
[[nodiscard]] RunResult RunCli(std::vector<std::string> args);

}  // namespace qz::test
