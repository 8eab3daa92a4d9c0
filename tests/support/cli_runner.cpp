#include "support/cli_runner.h"

#include <sstream>

#include "cli/cli_common.h"

namespace qz::test {

RunResult RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "qz670x-mp-cli");
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out;
  std::ostringstream err;
  RunResult result;
  result.exit = cli::Run(static_cast<int>(argv.size()), argv.data(), out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

std::vector<nlohmann::json> JsonLines(const std::string& out, const std::string& type) {
  std::vector<nlohmann::json> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_discarded() && parsed.value("type", "") == type) lines.push_back(parsed);
  }
  return lines;
}

}  // namespace qz::test
