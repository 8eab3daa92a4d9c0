// The results outbox and its deliverer on the manual clock, with scripted senders: what each
// answer does to an entry, the backoff, the keys, a restart; the result program's exits through
// the platform's runner.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "prodlog/production_log.h"
#include "prodlog/result_outbox.h"
#include "results/result_delivery.h"
#include "results/result_target.h"
#include "support/sample_images.h"

namespace qz::results {
namespace {

using Kind = SendAnswer::Kind;

// Answers each send with the next scripted answer (then: delivered), and keeps what it was given.
class ScriptedSender final : public ResultSender {
 public:
  explicit ScriptedSender(std::string target, std::deque<SendAnswer> answers = {})
      : target_(std::move(target)), answers_(std::move(answers)) {}
  const std::string& Target() const override { return target_; }
  SendAnswer Send(const std::string& key, const std::string& body) override {
    sent->push_back({key, nlohmann::json::parse(body)});
    if (answers_.empty()) return {Kind::kDelivered, "HTTP 201"};
    SendAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  std::shared_ptr<std::vector<std::pair<std::string, nlohmann::json>>> sent =
      std::make_shared<std::vector<std::pair<std::string, nlohmann::json>>>();

 private:
  const std::string target_;
  std::deque<SendAnswer> answers_;
};

class ResultDeliveryTest : public testing::Test {
 protected:
  // A log with the targets, and `units` finished units in it.
  std::unique_ptr<prodlog::ProductionLog> LogWith(std::vector<std::string> targets, int units) {
    prodlog::LogOptions options;
    options.result_targets = std::move(targets);
    prodlog::LogError error;
    std::unique_ptr<prodlog::ProductionLog> log =
        prodlog::ProductionLog::Open(path_, &error, options);
    EXPECT_TRUE(log) << error.message;
    for (int i = 0; i < units; ++i) {
      prodlog::UnitStart start;
      start.station = "st";
      start.port = "sim-" + std::to_string(i % 2 + 1);
      prodlog::SetMode(start, true);
      const std::optional<prodlog::BegunUnit> begun = log->BeginUnit(start, &error);
      EXPECT_TRUE(begun && log->CompleteUnit(begun->unit_id, {}, &error)) << error.message;
    }
    return log;
  }
  std::unique_ptr<ResultDelivery> Delivery(std::unique_ptr<ResultSender> sender) {
    std::vector<std::unique_ptr<ResultSender>> senders;
    senders.push_back(std::move(sender));
    prodlog::LogError error;
    auto outbox = prodlog::ResultOutbox::Open(path_, &error);
    EXPECT_TRUE(outbox) << error.message;
    return std::make_unique<ResultDelivery>(std::move(outbox), std::move(senders), clock_);
  }

  test::ScratchDir dir_;
  const std::string path_ = dir_.File("log.sqlite3");
  ManualClock clock_;
};

TEST(ResultAnswers, HttpStatusesAndTargetOptions) {
  const std::map<long, Kind> kinds = {
      {200, Kind::kDelivered}, {201, Kind::kDelivered}, {204, Kind::kDelivered},
      {409, Kind::kDelivered}, {400, Kind::kRefused},   {404, Kind::kRefused},
      {422, Kind::kRefused},   {408, Kind::kRetry},     {429, Kind::kRetry},
      {500, Kind::kRetry},     {503, Kind::kRetry},     {302, Kind::kRetry}};
  for (const auto& [status, kind] : kinds) {
    EXPECT_EQ(AnswerForStatus(status, "x").kind, kind) << status;
  }
  EXPECT_EQ(AnswerForStatus(422, "bad serial").reason, "HTTP 422 bad serial");

  const auto problem = [](std::string program, std::string url, std::string ca = {}) {
    return TargetsProblem({std::move(program), std::move(url), std::move(ca)});
  };
  EXPECT_EQ(problem("", "https://mes.example/r"), "");
  EXPECT_EQ(problem("mes-in --line 3", "HTTP://[::1]:8080/r"), "");
  EXPECT_NE(problem("", "ftp://mes/r"), "");
  EXPECT_NE(problem("", "https:///r"), "");
  EXPECT_NE(problem("mes 'open", ""), "");
  EXPECT_NE(problem("", "http://localhost/r", "ca.pem"), "");  // a CA without https
  EXPECT_NE(problem("", "https://mes/r", "/no/such/ca.pem"), "");
  EXPECT_EQ(PlainHttpNote("http://127.0.0.1:9/r"), "");
  EXPECT_EQ(PlainHttpNote("https://mes/r"), "");
  EXPECT_NE(PlainHttpNote("http://mes.example/r"), "");
}

TEST_F(ResultDeliveryTest, RetriesWithBackoffRecordsRefusalsAndKeepsEachUnitsKey) {
  const auto log = LogWith({"url"}, 3);
  auto* sender = new ScriptedSender(
      "url", {{Kind::kRetry, "r: HTTP 503"},     // unit 1, first round: the target backs off
                {Kind::kRetry, "r: timed out"},    // unit 1 again after 1 s
                {Kind::kDelivered, "r: HTTP 409"},  // unit 1 after 2 s more: it had it already
                {Kind::kRefused, "r: HTTP 422 no"},  // unit 2: refused for good
                {Kind::kDelivered, "r: HTTP 201"}});  // unit 3
  const auto sent = sender->sent;
  const auto delivery = Delivery(std::unique_ptr<ResultSender>(sender));

  EXPECT_EQ(delivery->Round(), 3);  // one attempt, then the target waits
  EXPECT_EQ(delivery->State().problem, "r: HTTP 503");
  EXPECT_EQ(delivery->Round(), 3);  // not due yet: nothing sent
  EXPECT_EQ(sent->size(), 1u);
  clock_.Advance(std::chrono::seconds(1));
  EXPECT_EQ(delivery->Round(), 3);
  clock_.Advance(std::chrono::milliseconds(1999));
  EXPECT_EQ(delivery->Round(), 3);  // the wait doubled
  EXPECT_EQ(sent->size(), 2u);
  clock_.Advance(std::chrono::milliseconds(1));
  EXPECT_EQ(delivery->Round(), 0);
  ASSERT_EQ(sent->size(), 5u);
  EXPECT_EQ(delivery->State(), (ResultsState{0, 1, "unit 2 refused: r: HTTP 422 no"}));
  EXPECT_EQ(ResultsStateText(delivery->State()), "results: 1 refused (unit 2 refused: r: HTTP 422 no)");

  // every attempt at a unit carries the same key and the unit's own row; units differ
  for (const auto& [key, body] : *sent) {
    EXPECT_EQ(body["unit_uid"], key);
    EXPECT_EQ(body["type"], "unit");
  }
  EXPECT_EQ((*sent)[0].first, (*sent)[2].first);
  EXPECT_EQ((*sent)[2].second["id"], 1);
  EXPECT_NE((*sent)[2].first, (*sent)[3].first);
  EXPECT_EQ((*sent)[4].second["id"], 3);

  // a refused result is not tried again, and neither is a delivered one
  clock_.Advance(std::chrono::hours(1));
  EXPECT_EQ(delivery->Round(), 0);
  EXPECT_EQ(sent->size(), 5u);
}

TEST_F(ResultDeliveryTest, WhatWaitsAtTheEndGoesWithTheNextStartAndOtherTargetsWait) {
  {
    const auto log = LogWith({"url", "program"}, 2);
    auto* sender = new ScriptedSender("url", std::deque<SendAnswer>(20, {Kind::kRetry, "down"}));
    const auto delivery = Delivery(std::unique_ptr<ResultSender>(sender));
    // the flush keeps the backoff and gives up at its budget
    EXPECT_FALSE(delivery->Flush(std::chrono::seconds(5)));
    EXPECT_LE(sender->sent->size(), 4u);  // at 0, 1, 3 s
    EXPECT_EQ(delivery->State().waiting, 4);  // two units, two targets
    EXPECT_EQ(ResultsStateText(delivery->State()), "results: 4 waiting (down)");
  }
  // the next start: the same file, the URL's results go; the program's wait for a run that has it
  const auto log = LogWith({"url"}, 1);
  auto* sender = new ScriptedSender("url");
  const auto sent = sender->sent;
  const auto delivery = Delivery(std::unique_ptr<ResultSender>(sender));
  EXPECT_TRUE(delivery->Flush(std::chrono::seconds(5)));
  ASSERT_EQ(sent->size(), 3u);
  EXPECT_EQ((*sent)[2].second["id"], 3);
  EXPECT_EQ(delivery->State().waiting, 2);
}

TEST_F(ResultDeliveryTest, TheBackgroundThreadDeliversAfterEachUnit) {
  const auto log = LogWith({"url"}, 1);
  auto* sender = new ScriptedSender("url");
  const auto sent = sender->sent;
  const auto delivery = Delivery(std::unique_ptr<ResultSender>(sender));
  std::mutex mutex;
  std::condition_variable heard;
  std::vector<ResultsState> states;
  delivery->SetListener([&](const ResultsState& state) {
    const std::lock_guard lock(mutex);
    states.push_back(state);
    heard.notify_all();
  });
  delivery->Start();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(heard.wait_for(lock, std::chrono::seconds(20), [&] { return !states.empty(); }));
  }
  prodlog::UnitStart start;
  start.station = "st";
  start.port = "sim-1";
  prodlog::LogError error;
  const auto begun = log->BeginUnit(start, &error);
  ASSERT_TRUE(begun && log->CompleteUnit(begun->unit_id, {}, &error));
  delivery->Wake();
  EXPECT_TRUE(delivery->Flush(std::chrono::seconds(1)));
  EXPECT_EQ(sent->size(), 2u);
  EXPECT_EQ(states.back(), ResultsState{});
}

}  // namespace
}  // namespace qz::results
