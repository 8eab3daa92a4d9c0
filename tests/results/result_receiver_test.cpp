// A station of virtual chips delivers its results to a small receiver that, from a seed, refuses
// for now (500), answers too late, takes a result and says it failed, or answers 409 for one it
// has: every unit's result arrives, recognisable by its unit's key, through a restart of the
// station in the middle; a result the receiver refuses for good (422) is recorded and not tried
// again.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "cli/options/device_options.h"
#include "support/cli_runner.h"
#include "support/sample_images.h"

namespace qz::results {
namespace {

using test::RunCli;

// The receiver: keeps every result it took, by key; misbehaves at random from its seed.
class Receiver {
 public:
  explicit Receiver(unsigned seed) : random_(seed) {
    server_.Post("/results", [this](const httplib::Request& request, httplib::Response& response) {
      const std::string key = request.get_header_value("Idempotency-Key");
      const nlohmann::json row = nlohmann::json::parse(request.body, nullptr, false);
      std::unique_lock lock(mutex_);
      ++requests_;
      if (row.is_discarded() || row.value("unit_uid", "") != key || key.empty()) {
        response.status = 400;  // a result without its key would be a fault of the station
        bad_ = true;
        return;
      }
      const int roll = misbehave_ ? static_cast<int>(random_() % 10) : 9;
      if (roll < 3) {
        response.status = 500;
        return;
      }
      if (roll == 3) {  // later than the station waits: it gives up and tries again
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        response.status = 503;
        return;
      }
      const bool had = taken_.count(key) > 0;
      if (had && taken_[key] != row["id"]) bad_ = true;  // one key, one unit
      taken_[key] = row["id"];
      // taken, but the answer says otherwise: the station tries again with the same key
      if (roll == 4) {
        response.status = 502;
        return;
      }
      response.status = had ? 409 : 201;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Receiver() {
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/results"; }
  void Misbehave(bool on) {
    const std::lock_guard lock(mutex_);
    misbehave_ = on;
  }
  std::map<std::string, nlohmann::json> Taken() {
    const std::lock_guard lock(mutex_);
    return taken_;
  }
  bool Bad() {
    const std::lock_guard lock(mutex_);
    return bad_;
  }

 private:
  httplib::Server server_;
  std::mt19937 random_;
  std::mutex mutex_;
  std::map<std::string, nlohmann::json> taken_;  // key: the unit's id
  int requests_ = 0;
  bool misbehave_ = true;
  bool bad_ = false;
  int port_ = 0;
  std::thread thread_;
};


class ResultReceiverTest : public testing::Test {
 protected:
  void SetUp() override { test::WriteBytes(image_, test::SampleBytes()); }

  test::RunResult Station(int units, std::vector<std::string> args) {
    args.insert(args.begin(), {"station", image_, "--simulate", "2", "--all-ports", "--loop",
                               "--units", std::to_string(units), "--json", "--log", log_,
                               "--result-timeout", "0.2"});
    ManualClock clock;
    cli::ScopedDeviceSessionHook hook(clock, {});
    return RunCli(std::move(args));
  }

  test::ScratchDir dir_;
  const std::string image_ = dir_.File("image.bin");
  const std::string log_ = dir_.File("log.sqlite3");
};

TEST_F(ResultReceiverTest, EveryUnitArrivesThroughARestartAndMisbehaviour) {
  for (const unsigned seed : {1u, 2u}) {
    SCOPED_TRACE(seed);
    Receiver receiver(seed);
    const test::RunResult first = Station(6, {"--result-url", receiver.Url()});
    ASSERT_EQ(first.exit, 0) << first.err;
    // the restart: more units; the receiver behaves once this run has begun to end
    const test::RunResult second = Station(4, {"--result-url", receiver.Url()});
    ASSERT_EQ(second.exit, 0) << second.err;
    receiver.Misbehave(false);
    const test::RunResult third = Station(1, {"--result-url", receiver.Url()});
    ASSERT_EQ(third.exit, 0) << third.err;
    EXPECT_FALSE(test::JsonLines(first.out + second.out + third.out, "results").empty());

    // every unit's row, by its key, and nothing else
    std::map<std::string, nlohmann::json> units;
    const test::RunResult rows = RunCli({"log", "--log", log_, "--json"});
    const std::vector<nlohmann::json> logged = test::JsonLines(rows.out, "unit");
    const std::map<std::string, nlohmann::json> taken = receiver.Taken();
    EXPECT_FALSE(receiver.Bad());
    std::set<nlohmann::json> ids;
    for (const auto& [key, id] : taken) ids.insert(id);
    std::set<nlohmann::json> expected;
    for (const nlohmann::json& row : logged) expected.insert(row["id"]);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(taken.size(), logged.size());
    const std::vector<nlohmann::json> last = test::JsonLines(third.out, "results");
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back()["waiting"], 0);
    std::filesystem::remove(log_);
  }
}

TEST_F(ResultReceiverTest, ARefusalIsRecordedAndNotTriedAgain) {
  int posts = 0;
  httplib::Server server;
  server.Post("/r", [&posts](const httplib::Request&, httplib::Response& response) {
    ++posts;
    response.status = 422;
    response.set_content("no such order\nmore", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&server] { server.listen_after_bind(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/r";
  const test::RunResult first = Station(2, {"--result-url", url});
  const test::RunResult again = Station(1, {"--result-url", url});
  server.stop();
  thread.join();
  EXPECT_EQ(first.exit, 0) << first.err;
  const auto units = static_cast<int>(test::JsonLines(RunCli({"log", "--log", log_, "--json"}).out, "unit").size());
  EXPECT_GE(units, 3);
  EXPECT_EQ(posts, units);  // each unit once
  const std::vector<nlohmann::json> states = test::JsonLines(again.out, "results");
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back()["refused"], units);
  EXPECT_EQ(states.back()["waiting"], 0);
  const std::string problem = states.back()["problem"];
  EXPECT_EQ(problem.substr(problem.find(" refused: ")), " refused: " + url + ": HTTP 422 no such order");
}

}  // namespace
}  // namespace qz::results
