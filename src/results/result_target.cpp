#include "results/result_target.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "base/file_path.h"
#include "serials/command_line.h"

namespace qz::results {
namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return Lower(text.substr(0, prefix.size())) == prefix;
}

// The host of an http(s) URL, without user, port or brackets; "" when there is none.
std::string HostOf(std::string_view url) {
  std::string_view rest = url.substr(url.find("://") + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    rest = rest.substr(at + 1);
  }
  if (!rest.empty() && rest.front() == '[') return Lower(rest.substr(1, rest.find(']') - 1));
  return Lower(rest.substr(0, rest.find(':')));
}

}  // namespace

SendAnswer AnswerForStatus(long status, const std::string& said) {
  const std::string text =
      "HTTP " + std::to_string(status) + (said.empty() ? std::string() : " " + said);
  if ((status >= 200 && status < 300) || status == 409) {
    return {SendAnswer::Kind::kDelivered, text};
  }
  const bool later = status == 408 || status == 425 || status == 429;
  if (status >= 400 && status < 500 && !later) return {SendAnswer::Kind::kRefused, text};
  return {SendAnswer::Kind::kRetry, text};
}

std::string TargetsProblem(const ResultTargets& targets) {
  if (!targets.url.empty()) {
    if (!StartsWith(targets.url, kHttp) && !StartsWith(targets.url, kHttps)) {
      return "--result-url: \"" + targets.url + "\" is no http:// or https:// URL";
    }
    if (HostOf(targets.url).empty()) return "--result-url: \"" + targets.url + "\" names no host";
    if (targets.url.find_first_of(" \t\r\n") != std::string::npos) {
      return "--result-url: \"" + targets.url + "\" holds white space";
    }
  }
  if (!targets.program.empty()) {
    std::string why;
    if (!serials::SplitCommandLine(targets.program, &why)) return "--result-program: " + why;
  }
  if (!targets.ca.empty()) {
    if (!StartsWith(targets.url, kHttps)) return "--result-ca is for an https:// --result-url";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(PathFromUtf8(targets.ca), ec) ||
        !std::ifstream(PathFromUtf8(targets.ca))) {
      return "--result-ca: \"" + targets.ca + "\" cannot be read";
    }
  }
  if (targets.timeout.count() <= 0) return "--result-timeout: give more than 0 seconds";
  return {};
}

std::string PlainHttpNote(const std::string& url) {
  if (!StartsWith(url, kHttp)) return {};
  const std::string host = HostOf(url);
  if (host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0) return {};
  return "the results go to " + host + " unencrypted (http://); https:// protects them";
}

std::vector<std::string> TargetNames(const ResultTargets& targets) {
  std::vector<std::string> names;
  if (!targets.program.empty()) names.emplace_back("program");
  if (!targets.url.empty()) names.emplace_back("url");
  return names;
}

std::vector<std::unique_ptr<ResultSender>> MakeSenders(const ResultTargets& targets,
                                                       serials::ProgramRunner& runner,
                                                       std::string* error) {
  std::vector<std::unique_ptr<ResultSender>> senders;
  if (!targets.program.empty()) {
    std::optional<std::vector<std::string>> words =
        serials::SplitCommandLine(targets.program, error);
    if (!words) return {};
    senders.push_back(MakeProgramSender("program", std::move(*words), runner, targets.timeout));
  }
  if (!targets.url.empty()) {
    std::unique_ptr<ResultSender> url =
        MakeUrlSender("url", targets.url, targets.ca, targets.timeout, error);
    if (!url) return {};
    senders.push_back(std::move(url));
  }
  return senders;
}

}  // namespace qz::results
