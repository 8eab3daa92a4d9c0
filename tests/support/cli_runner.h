#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qz::test {

// What one in-process run of the command line gave.
struct RunResult {
  int exit = -1;
  std::string out;
  std::string err;
};

// Runs `qz670x-mp-cli args...` in this process with captured streams.
[[nodiscard]] RunResult RunCli(std::vector<std::string> args);

// The JSON Lines of `out` whose "type" is `type`, in order.
[[nodiscard]] std::vector<nlohmann::json> JsonLines(const std::string& out,
                                                    const std::string& type);

}  // namespace qz::test
