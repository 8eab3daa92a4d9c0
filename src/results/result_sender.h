#pragma once

// One way to hand a unit's result to the factory's system. Each answer is one of three: the
// system has it (delivered), it refuses it for good (not tried again; the reason is kept), or
// it could not take it now (tried again later, with backoff).

#include <chrono>
#include <memory>
#include <string>

namespace qz::results {

struct SendAnswer {
  enum class Kind { kDelivered, kRefused, kRetry };
  Kind kind = Kind::kRetry;
  std::string reason;  // for the operator and the outbox: what the system answered
};

class ResultSender {
 public:
  virtual ~ResultSender() = default;
  // The target as the outbox keeps it (TargetName).
  [[nodiscard]] virtual const std::string& Target() const = 0;
  // Hands over `body` (a unit's row as one JSON object) under the unit's `key`, the same in
  // every attempt at the same unit. One call at a time.
  [[nodiscard]] virtual SendAnswer Send(const std::string& key, const std::string& body) = 0;
};

// What an HTTP status means for a result: 2xx delivered; 409 (the receiver has the unit
// already) delivered too; 408, 425 and 429 (come back later) and 5xx to be tried again; any
// other 4xx refused for good; anything else tried again. `said` is the answer's first line.
[[nodiscard]] SendAnswer AnswerForStatus(long status, const std::string& said);

// An HTTP(S) POST of the body to `url`, with Content-Type application/json and the key as its
// Idempotency-Key; HTTPS verified against the system's certificates or the CA file `ca`
// (libcurl on Linux, WinHTTP on Windows). nullptr and *error when it cannot be made.
[[nodiscard]] std::unique_ptr<ResultSender> MakeUrlSender(const std::string& target,
                                                          const std::string& url,
                                                          const std::string& ca,
                                                          std::chrono::milliseconds timeout,
                                                          std::string* error);

}  // namespace qz::results
