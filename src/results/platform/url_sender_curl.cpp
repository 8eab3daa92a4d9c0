// The result URL on Linux: libcurl, one easy handle kept for its connection, HTTPS verified
// against the system's certificates or the given CA file.
#include <curl/curl.h>

#include <mutex>
#include <string>

#include "results/result_sender.h"

namespace qz::results {
namespace {

// More of an answer's body is not kept: only its first line is shown.
constexpr std::size_t kMaxAnswer = 4096;

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* into) {
  auto& text = *static_cast<std::string*>(into);
  const std::size_t bytes = size * count;
  if (text.size() < kMaxAnswer) text.append(data, std::min(bytes, kMaxAnswer - text.size()));
  return bytes;
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  return line.size() > 200 ? line.substr(0, 200) + "..." : line;
}

class CurlSender final : public ResultSender {
 public:
  CurlSender(std::string target, std::string url, std::string ca,
             std::chrono::milliseconds timeout, CURL* curl)
      : target_(std::move(target)), url_(std::move(url)), ca_(std::move(ca)), timeout_(timeout),
        curl_(curl) {}
  ~CurlSender() override { curl_easy_cleanup(curl_); }
  CurlSender(const CurlSender&) = delete;
  CurlSender& operator=(const CurlSender&) = delete;

  const std::string& Target() const override { return target_; }

  SendAnswer Send(const std::string& key, const std::string& body) override {
    std::string answer;
    char problem[CURL_ERROR_SIZE] = {};
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, ("Idempotency-Key: " + key).c_str());
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, problem);
    if (!ca_.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_.c_str());
    const CURLcode code = curl_easy_perform(curl_);
    curl_slist_free_all(headers);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, nullptr);
    const std::string where = url_ + ": ";
    if (code != CURLE_OK) {
      return {SendAnswer::Kind::kRetry,
              where + (problem[0] != '\0' ? problem : curl_easy_strerror(code))};
    }
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    SendAnswer result = AnswerForStatus(status, FirstLine(answer));
    result.reason = where + result.reason;
    return result;
  }

 private:
  const std::string target_, url_, ca_;
  const std::chrono::milliseconds timeout_;
  CURL* curl_;
};

}  // namespace

std::unique_ptr<ResultSender> MakeUrlSender(const std::string& target, const std::string& url,
                                            const std::string& ca,
                                            std::chrono::milliseconds timeout,
                                            std::string* error) {
  static std::once_flag once;
  static CURLcode global = CURLE_OK;
  std::call_once(once, [] { global = curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = global == CURLE_OK ? curl_easy_init() : nullptr;
  if (curl == nullptr) {
    *error = "the HTTP client (libcurl) could not be started";
    return nullptr;
  }
  return std::make_unique<CurlSender>(target, url, ca, timeout, curl);
}

}  // namespace qz::results
