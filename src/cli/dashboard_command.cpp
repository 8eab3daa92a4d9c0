// `dashboard`: a read-only web server over a production log, until interrupted.
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/interrupt.h"
#include "dashboard/row_source.h"
#include "dashboard/server.h"
#include "prodlog/production_log.h"

namespace qz::cli {
namespace {

constexpr const char* kAppName = "qz670x-mp-cli";

struct DashboardArgs {
  std::string log;
  std::string listen = "127.0.0.1:8080";
  std::string alerts;
};

// "127.0.0.1:8080", "[::1]:8080" or "0.0.0.0:0" (any free port) as host and port; false for
// another text.
bool ParseListen(const std::string& text, std::string* host, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  if (host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
  const std::string digits = text.substr(colon + 1);
  if (host->empty() || digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *port = std::stoi(digits);
  return *port <= 65535;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int RunDashboard(Context& context, const DashboardArgs& args) {
  const auto fail = [&](const std::string& message, Exit exit) {
    *context.output.err << kAppName << ": " << message << '\n';
    return static_cast<int>(exit);
  };
  dashboard::ServerOptions options;
  if (!ParseListen(args.listen, &options.host, &options.port)) {
    return fail("--listen: \"" + args.listen + "\" is not ADDRESS:PORT (e.g. 127.0.0.1:8080)",
                Exit::kUsage);
  }
  if (!args.alerts.empty()) {
    std::string error;
    const std::optional<dashboard::AlertSettings> alerts =
        dashboard::LoadAlertSettings(args.alerts, &error);
    if (!alerts) return fail(error, Exit::kUsage);
    options.alerts = *alerts;
  }
  // reading only: the dashboard never creates, upgrades or writes the store
  prodlog::LogOptions log_options;
  log_options.read_only = true;
  const std::string location = args.log;
  prodlog::LogError error;
  std::unique_ptr<prodlog::ProductionLog> log =
      prodlog::ProductionLog::Open(location, &error, log_options);
  if (!log) return fail(error.message, Exit::kIoError);
  options.store_name = log->Path();
  options.now = WallSeconds;
  auto rows = std::make_unique<dashboard::RowSource>(
      [location, log_options](prodlog::LogError* open_error) {
        return prodlog::ProductionLog::Open(location, open_error, log_options);
      },
      std::move(log));
  dashboard::Server server(options, std::move(rows));
  std::string bind_error;
  if (!server.Bind(&bind_error)) return fail(bind_error, Exit::kIoError);

  const std::string host =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  const std::string url = "http://" + host + ":" + std::to_string(server.Port()) + "/";
  if (context.output.json) {
    context.output.JsonLine(JsonText({{"type", "dashboard"}, {"url", url}, {"log", options.store_name}}));
  } else {
    *context.output.out << "dashboard of " << options.store_name << " at " << url << std::endl;
  }
  const ScopedInterruptHandlers interrupts;
#ifndef _WIN32
  // SIGINT and SIGTERM are the watcher's alone: the server's threads, made from this one, keep
  // them blocked, so none is taken by a thread that sits in accept() and holds it there (as
  // ThreadSanitizer's runtime does until the call returns)
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous_mask;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous_mask);
#endif
  std::atomic<bool> done{false};
  std::thread watcher([&] {
#ifndef _WIN32
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
#endif
    while (!done.load() && ScopedInterruptHandlers::Signal() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // again until the server has ended: a stop before it listens (during its first read of
    // the store) would otherwise be lost
    while (!done.load()) {
      server.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  server.Run();
  done = true;
  watcher.join();
#ifndef _WIN32
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
#endif
  return static_cast<int>(Exit::kOk);
}

}  // namespace

void AddDashboardCommand(CLI::App& app, Context& context) {
  auto args = std::make_shared<DashboardArgs>();
  CLI::App* command = app.add_subcommand(
      "dashboard",
      "Serve a read-only live dashboard of a production log (line, yield, failures, units, "
      "alerts, /metrics) until interrupted");
  command->add_option("--log", args->log,
                      "Production log: a station's file, or a line database as "
                      "postgresql://HOST/DB or service=NAME (its read-only role is enough)")
      ->type_name("FILE|URI")
      ->required();
  command->add_option("--listen", args->listen,
                      "Address and port to serve on (default 127.0.0.1:8080, this computer only; "
                      "another address opens the dashboard to that network)")
      ->type_name("ADDR:PORT");
  command->add_option("--alerts", args->alerts,
                      "Alert limits (TOML): yield-below-percent, yield-last-units, "
                      "station-silent-minutes, unit-unfinished-minutes, journal-backlog-over, "
                      "shift-starts")
      ->type_name("FILE");
  command->callback([&context, args] { context.exit_code = RunDashboard(context, *args); });
}

}  // namespace qz::cli
