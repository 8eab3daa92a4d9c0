// Deliveries per second from a station's results outbox to a local receiver (cpp-httplib on
// 127.0.0.1, answering 201 at once), through the deliverer and the platform's URL sender; and
// to a result program (/bin/true) through the process runner.
// Usage: results_bench [UNITS (default 2000)]
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "prodlog/production_log.h"
#include "prodlog/result_outbox.h"
#include "results/result_delivery.h"
#include "results/result_target.h"
#include "serials/program_runner.h"

namespace {

// Fills a fresh log with `units` finished units whose results wait for `targets`.
std::string FillLog(const std::filesystem::path& folder, const std::string& name, int units,
                    const std::vector<std::string>& targets) {
  const std::string path = (folder / name).string();
  qz::prodlog::LogOptions options;
  options.result_targets = targets;
  qz::prodlog::LogError error;
  auto log = qz::prodlog::ProductionLog::Open(path, &error, options);
  if (!log) {
    std::fprintf(stderr, "%s\n", error.message.c_str());
    std::exit(1);
  }
  for (int i = 0; i < units; ++i) {
    qz::prodlog::UnitStart start;
    start.station = "bench";
    start.port = "sim-1";
    qz::prodlog::SetMode(start, true);
    const auto begun = log->BeginUnit(start, &error);
    qz::prodlog::UnitEnd end;
    end.message = "ok";
    if (!begun || !log->CompleteUnit(begun->unit_id, end, &error)) std::exit(1);
  }
  return path;
}

// Delivers everything waiting in `path`; deliveries per second.
double Deliver(const std::string& path, const qz::results::ResultTargets& targets, int units) {
  qz::prodlog::LogError error;
  auto outbox = qz::prodlog::ResultOutbox::Open(path, &error);
  const auto runner = qz::serials::MakeProcessRunner();
  std::string why;
  auto senders = qz::results::MakeSenders(targets, *runner, &why);
  if (!outbox || senders.empty()) {
    std::fprintf(stderr, "%s%s\n", error.message.c_str(), why.c_str());
    std::exit(1);
  }
  qz::SystemClock clock;
  qz::results::ResultDelivery delivery(std::move(outbox), std::move(senders), clock);
  const auto began = std::chrono::steady_clock::now();
  if (!delivery.Flush(std::chrono::minutes(10)) || delivery.State().waiting != 0) {
    std::fprintf(stderr, "not all delivered: %s\n",
                 qz::results::ResultsStateText(delivery.State()).c_str());
    std::exit(1);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  return units / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int units = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("results-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);

  httplib::Server server;
  std::atomic<int> posts{0};
  server.Post("/results", [&posts](const httplib::Request&, httplib::Response& response) {
    ++posts;
    response.status = 201;
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread listening([&server] { server.listen_after_bind(); });
  qz::results::ResultTargets url;
  url.url = "http://127.0.0.1:" + std::to_string(port) + "/results";
  const std::string url_log = FillLog(folder, "url.sqlite3", units, {"url"});
  const double url_rate = Deliver(url_log, url, units);
  server.stop();
  listening.join();
  std::printf("results to a local URL:    %d units, %.0f deliveries/s (%d posts)\n", units,
              url_rate, posts.load());

  const int program_units = std::max(1, units / 10);
  qz::results::ResultTargets program;
  program.program = "true";
  const std::string program_log =
      FillLog(folder, "program.sqlite3", program_units, {"program"});
  std::printf("results to a program:      %d units, %.0f deliveries/s\n", program_units,
              Deliver(program_log, program, program_units));
  std::filesystem::remove_all(folder);
  return 0;
}
