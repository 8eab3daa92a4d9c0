// The result URL on Windows: WinHTTP, HTTPS verified against the system's certificate store
// (a CA of the factory's is imported there; a CA file is not taken).
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "image/utf16.h"
#include "results/result_sender.h"

namespace qz::results {
namespace {

std::wstring Wide(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

// One handle, closed when it goes.
class Handle {
 public:
  explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

std::string Problem(const char* doing) {
  const DWORD code = GetLastError();
  std::string text = std::string(doing) + " failed (WinHTTP error " + std::to_string(code);
  if (code == ERROR_WINHTTP_TIMEOUT) text += ", timed out";
  if (code == ERROR_WINHTTP_CANNOT_CONNECT) text += ", cannot connect";
  if (code == ERROR_WINHTTP_SECURE_FAILURE) text += ", the certificate was not trusted";
  return text + ")";
}

class WinHttpSender final : public ResultSender {
 public:
  WinHttpSender(std::string target, std::string url, std::chrono::milliseconds timeout)
      : target_(std::move(target)), url_(std::move(url)), timeout_(timeout) {}

  const std::string& Target() const override { return target_; }

  SendAnswer Send(const std::string& key, const std::string& body) override {
    const std::string where = url_ + ": ";
    const auto retry = [&where](const char* doing) {
      return SendAnswer{SendAnswer::Kind::kRetry, where + Problem(doing)};
    };
    std::wstring url = Wide(url_);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return retry("reading the URL");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    const Handle session(WinHttpOpen(L"qz670x-mp", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session.get() == nullptr) return retry("starting WinHTTP");
    const int ms = static_cast<int>(timeout_.count());
    WinHttpSetTimeouts(session.get(), ms, ms, ms, ms);
    const Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (connection.get() == nullptr) return retry("connecting");
    const Handle request(WinHttpOpenRequest(
        connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES,
        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (request.get() == nullptr) return retry("opening the request");
    const std::wstring headers =
        L"Content-Type: application/json\r\nIdempotency-Key: " + Wide(key) + L"\r\n";
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0)) {
      return retry("sending");
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) return retry("receiving the answer");
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return retry("reading the status");
    }
    std::string answer;
    char buffer[1024];
    DWORD got = 0;
    while (answer.size() < 4096 &&
           WinHttpReadData(request.get(), buffer, sizeof buffer, &got) && got > 0) {
      answer.append(buffer, got);
    }
    std::string line = answer.substr(0, answer.find_first_of("\r\n"));
    if (line.size() > 200) line = line.substr(0, 200) + "...";
    SendAnswer result = AnswerForStatus(static_cast<long>(status), line);
    result.reason = where + result.reason;
    return result;
  }

 private:
  const std::string target_, url_;
  const std::chrono::milliseconds timeout_;
};

}  // namespace

std::unique_ptr<ResultSender> MakeUrlSender(const std::string& target, const std::string& url,
                                            const std::string& ca,
                                            std::chrono::milliseconds timeout,
                                            std::string* error) {
  if (!ca.empty()) {
    *error = "--result-ca: on Windows the result URL is verified against the system's "
             "certificate store; import the CA there instead";
    return nullptr;
  }
  return std::make_unique<WinHttpSender>(target, url, timeout);
}

}  // namespace qz::results
