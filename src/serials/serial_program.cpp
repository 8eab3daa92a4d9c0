#include "serials/serial_program.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "serials/serial_text.h"

namespace qz::serials {
namespace {

std::string Seconds(std::chrono::milliseconds time) {
  std::ostringstream text;
  text << static_cast<double>(time.count()) / 1000.0;
  return text.str();
}

// The last line of what the program said on its standard error, to show beside its status.
std::string LastLine(const std::string& text) {
  const std::vector<std::pair<int, std::string>> lines = ContentLines(text);
  return lines.empty() ? std::string() : lines.back().second;
}

}  // namespace

ProgramSerials::ProgramSerials(ProgramRunner& runner, Options options)
    : runner_(runner), options_(std::move(options)) {}

ProgramSerials::~ProgramSerials() {
  for (auto& [name, port] : ports_) {
    if (port->asked.valid()) port->asked.wait();
  }
}

std::optional<std::string> ProgramSerials::Next(const std::string& name, std::string* why) {
  Port* port = nullptr;
  {
    const std::lock_guard lock(mutex_);
    std::unique_ptr<Port>& slot = ports_[name];
    if (!slot) slot = std::make_unique<Port>();
    port = slot.get();
  }
  if (port->ready.empty()) {
    // an ask ahead that was refused (a moment the program could not answer, maybe long ago)
    // is asked again now: only an answer refused at the unit's start stops the unit
    std::optional<Answer> ahead;
    if (port->asked.valid()) ahead = port->asked.get();
    const Answer answer = ahead && ahead->refused.empty() ? std::move(*ahead)
                                                          : Ask(name, 1 + options_.ahead);
    if (!answer.refused.empty()) {
      *why = "no serial number from the serial program: " + answer.refused;
      return std::nullopt;
    }
    port->ready = answer.numbers;
  }
  std::string number = port->ready.front();
  port->ready.erase(port->ready.begin());
  const int missing = options_.ahead - static_cast<int>(port->ready.size());
  if (missing > 0 && !port->asked.valid()) {
    port->asked = std::async(std::launch::async, [this, name, missing] { return Ask(name, missing); });
  }
  return number;
}

ProgramSerials::Answer ProgramSerials::Ask(const std::string& port, int count) {
  std::vector<std::string> argv = options_.command;
  argv.insert(argv.end(), {"--station", options_.station, "--port", port, "--count",
                           std::to_string(count)});
  const ProgramRun run = runner_.Run(argv, options_.timeout, {});
  switch (run.ending) {
    case ProgramRun::Ending::kNotStarted:
      return {{}, "\"" + argv.front() + "\" could not be started (" + run.problem + ")"};
    case ProgramRun::Ending::kTimedOut:
      return {{}, "it did not answer within " + Seconds(options_.timeout) + " s and was stopped"};
    case ProgramRun::Ending::kExited:
      break;
  }
  if (run.exit_code != 0) {
    const std::string said = LastLine(run.errors);
    return {{}, "it exited with status " + std::to_string(run.exit_code) +
                    (said.empty() ? std::string() : " (" + said + ")")};
  }
  return Read(run);
}

ProgramSerials::Answer ProgramSerials::Read(const ProgramRun& run) {
  Answer answer;
  for (const auto& [number, line] : ContentLines(run.output)) {
    const std::string where = "its line " + std::to_string(number) + " ";
    std::string serial = line;
    if (line.front() == '{') {
      const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
      if (object.is_discarded() || !object.is_object() || !object.contains("serial") ||
          !object["serial"].is_string()) {
        return {{}, where + "is no {\"serial\":\"...\"} object: " + line};
      }
      serial = object["serial"].get<std::string>();
    }
    if (const std::string problem = SerialTextProblem(serial); !problem.empty()) {
      return {{}, where + "is no serial number: " + problem};
    }
    if (std::find(answer.numbers.begin(), answer.numbers.end(), serial) != answer.numbers.end()) {
      return {{}, "it gave " + serial + " twice"};
    }
    answer.numbers.push_back(std::move(serial));
  }
  if (answer.numbers.empty()) return {{}, "it printed no serial number"};
  const std::lock_guard lock(mutex_);
  for (const std::string& serial : answer.numbers) {
    if (given_.count(serial) > 0) return {{}, "it gave " + serial + " before in this run"};
  }
  given_.insert(answer.numbers.begin(), answer.numbers.end());
  return answer;
}

}  // namespace qz::serials
