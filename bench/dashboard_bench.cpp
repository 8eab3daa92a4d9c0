// The dashboard over a line's log of 200 000 units (50 stations of 16 ports, six seconds apart,
// the last one now) and the 50 stations' state reports, in a SQLite file in the current
// directory: the store's reads (a full read, and the once-a-second poll when nothing changed),
// the line and yield pages' figures, the server's memory with 20 pages open, and the delay from
// a unit's end to the figures an open page fetches after the server's event.
// Each figure is reported as median (p50) and p95 over its repetitions.
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "dashboard/figures.h"
#include "dashboard/row_source.h"
#include "dashboard/server.h"
#include "prodlog/production_log.h"

namespace {

namespace fs = std::filesystem;
using qz::dashboard::AlertSettings;
using qz::dashboard::Snapshot;
using qz::prodlog::LogError;
using qz::prodlog::ProductionLog;

constexpr int kUnits = 200000;
constexpr int kStations = 50;
constexpr int kPorts = 16;

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The bench's log, made once per process.
const std::string& BenchLog() {
  static const std::string path = [] {
    const std::string file =
        (fs::current_path() / ("dashboard_bench_" + std::to_string(getpid()) + ".sqlite3"))
            .string();
    LogError error;
    if (!ProductionLog::Open(file, &error)) std::abort();  // creates the schema
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    const double first = WallSeconds() - kUnits * 6.0;
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kUnits - 1) +
        ") INSERT INTO units(started, ended, station, port, image_path, image_sha256, mode, "
        "write_length, overrides, serial, serial_released, exit_code, message, duration_ms, "
        "transfers, eeprom_touched) SELECT "
        "strftime('%Y-%m-%dT%H:%M:%fZ', " + std::to_string(first) + " + i * 6.0, 'unixepoch'), "
        "strftime('%Y-%m-%dT%H:%M:%fZ', " + std::to_string(first) + " + i * 6.0 + 5, 'unixepoch'), "
        "'station-' || (i % 50), 'sim-' || ((i / 50) % 16 + 1), '/images/firmware.bin', "
        "'" + std::string(64, 'a') + "', 'factory', 32768, '{}', "
        // a unit that failed is tried again under its serial number by the next one
        "printf('L7-%07d', CASE WHEN i % 23 = 1 THEN i - 1 ELSE i END), 0, CASE WHEN i % 23 = 0 THEN 2 WHEN i % 31 = 0 THEN 7 ELSE 0 END, "
        "CASE WHEN i % 23 = 0 THEN 'Write to EEPROM Fail!  Try Again!(2)' WHEN i % 31 = 0 "
        "THEN 'Write to EEPROM Fail!  Try Again!(7)' ELSE 'Write to EEPROM OK!' END, 5000, "
        "8192, 1 FROM n";
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) std::abort();
    sqlite3_close(db);
    // every station's report: its 16 ports, half of them writing
    std::unique_ptr<ProductionLog> writer = ProductionLog::Open(file, &error);
    for (int station = 0; station < kStations; ++station) {
      qz::prodlog::StationState state;
      state.station = "station-" + std::to_string(station);
      state.host = "pc-" + std::to_string(station);
      state.version = "1.0.0";
      state.image_path = "/images/firmware.bin";
      for (int port = 1; port <= kPorts; ++port) {
        state.ports.push_back({"sim-" + std::to_string(port), port % 2 == 0 ? "writing" : "idle",
                               port % 2 == 0 ? kUnits + port : 0, "", port % 2 == 0 ? 50 : -1});
      }
      state.backlog = station % 7;
      state.reported = qz::prodlog::UtcIso8601(WallSeconds());
      if (!writer->ReportStation(state, &error)) std::abort();
    }
    std::atexit([] {
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(BenchLog() + suffix);
    });
    return file;
  }();
  return path;
}

std::unique_ptr<ProductionLog> OpenReadOnly() {
  qz::prodlog::LogOptions options;
  options.read_only = true;
  LogError error;
  return ProductionLog::Open(BenchLog(), &error, options);
}

const std::vector<qz::prodlog::UnitRecord>& AllRows() {
  static const std::vector<qz::prodlog::UnitRecord> rows = [] {
    LogError error;
    return *OpenReadOnly()->Rows({}, &error);
  }();
  return rows;
}

const std::vector<qz::prodlog::StationState>& AllStates() {
  static const std::vector<qz::prodlog::StationState> states = [] {
    LogError error;
    return *OpenReadOnly()->StationStates(&error);
  }();
  return states;
}

double P95(const std::vector<double>& values) {
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

void BM_StoreFullRead(benchmark::State& state) {
  std::unique_ptr<ProductionLog> log = OpenReadOnly();
  LogError error;
  for (auto _ : state) benchmark::DoNotOptimize(log->Rows({}, &error));
  state.counters["rows"] = kUnits;
}
BENCHMARK(BM_StoreFullRead)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)
    ->ComputeStatistics("p95", P95)->ReportAggregatesOnly();

void BM_StorePollNothingNew(benchmark::State& state) {
  qz::dashboard::RowSource rows([](LogError*) { return OpenReadOnly(); }, OpenReadOnly());
  rows.Poll(true);
  for (auto _ : state) benchmark::DoNotOptimize(rows.Poll(false));
}
BENCHMARK(BM_StorePollNothingNew)->Unit(benchmark::kMillisecond)->Iterations(5)
    ->Repetitions(10)->ComputeStatistics("p95", P95)->ReportAggregatesOnly();

void BM_LinePageFigures(benchmark::State& state) {
  const Snapshot snapshot{AllRows(), "bench", "", WallSeconds(), AllStates()};
  for (auto _ : state) benchmark::DoNotOptimize(LineJson(snapshot, AlertSettings{}).dump());
}
BENCHMARK(BM_LinePageFigures)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)
    ->ComputeStatistics("p95", P95)->ReportAggregatesOnly();

void BM_YieldPageFigures(benchmark::State& state) {
  const Snapshot snapshot{AllRows(), "bench", "", WallSeconds(), AllStates()};
  const auto by = static_cast<qz::dashboard::YieldBy>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(YieldJson(snapshot, AlertSettings{}, by).dump());
  }
}
BENCHMARK(BM_YieldPageFigures)->Arg(0)->Arg(3)->ArgName("by_station0_hour3")
    ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)
    ->ComputeStatistics("p95", P95)->ReportAggregatesOnly();

// A server over the bench's log on a free port; null (the benchmark skipped) when it cannot bind.
std::unique_ptr<qz::dashboard::Server> BoundServer(benchmark::State& state) {
  qz::dashboard::ServerOptions options;
  options.port = 0;
  options.now = WallSeconds;
  options.store_name = "bench";
  auto server = std::make_unique<qz::dashboard::Server>(
      options, std::make_unique<qz::dashboard::RowSource>(
                   [](LogError*) { return OpenReadOnly(); }, OpenReadOnly()));
  std::string error;
  if (!server->Bind(&error)) {
    state.SkipWithError(error.c_str());
    return nullptr;
  }
  return server;
}

// This process's resident memory, MiB (Linux).
double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0.0;
}

// The server's memory with 20 pages open: each holds its event stream and has fetched the line
// and yield figures once. Reported as the process's resident memory before the server starts
// and with the pages open; the difference is the server's (its rows, bodies and threads).
void BM_ServerMemoryTwentyPages(benchmark::State& state) {
  constexpr int kPages = 20;
  const double before = ResidentMiB();
  double with_pages = before;
  for (auto _ : state) {
    std::unique_ptr<qz::dashboard::Server> made = BoundServer(state);
    if (!made) return;
    qz::dashboard::Server& server = *made;
    std::thread serving([&] { server.Run(); });
    std::vector<std::unique_ptr<httplib::Client>> streams;
    std::vector<std::thread> listening;
    std::mutex mutex;
    std::condition_variable opened;
    int open = 0;
    for (int page = 0; page < kPages; ++page) {
      streams.push_back(std::make_unique<httplib::Client>("127.0.0.1", server.Port()));
      httplib::Client* stream = streams.back().get();
      listening.emplace_back([&, stream] {
        bool first = true;
        (void)stream->Get("/events", [&](const char*, std::size_t) {
          if (first) {
            first = false;
            const std::lock_guard<std::mutex> lock(mutex);
            ++open;
            opened.notify_all();
          }
          return true;
        });
      });
      httplib::Client fetch("127.0.0.1", server.Port());
      benchmark::DoNotOptimize(fetch.Get("/api/line"));
      benchmark::DoNotOptimize(fetch.Get(page % 2 == 0 ? "/api/yield" : "/api/yield?by=hour"));
    }
    {
      std::unique_lock<std::mutex> lock(mutex);
      opened.wait(lock, [&] { return open == kPages; });
    }
    with_pages = ResidentMiB();
    for (auto& stream : streams) stream->stop();
    server.Stop();
    for (std::thread& thread : listening) thread.join();
    serving.join();
  }
  state.counters["rss_before_MiB"] = before;
  state.counters["rss_20_pages_MiB"] = with_pages;
  state.counters["server_MiB"] = with_pages - before;
}
BENCHMARK(BM_ServerMemoryTwentyPages)->Unit(benchmark::kMillisecond)->Iterations(1);

// A unit's end to the line figures in hand at a page that listens to the events: the server's
// poll (once a second), its event, and the fetch of /api/line the page makes.
void BM_UnitEndToPage(benchmark::State& state) {
  std::unique_ptr<qz::dashboard::Server> made = BoundServer(state);
  if (!made) return;
  qz::dashboard::Server& server = *made;
  std::thread serving([&] { server.Run(); });
  std::mutex mutex;
  std::condition_variable arrived;
  int events = 0;
  httplib::Client listener("127.0.0.1", server.Port());
  std::thread listening([&] {
    (void)listener.Get("/events", [&](const char*, std::size_t) {
      const std::lock_guard<std::mutex> lock(mutex);
      ++events;
      arrived.notify_all();
      return true;
    });
  });
  httplib::Client page("127.0.0.1", server.Port());
  LogError log_error;
  std::unique_ptr<ProductionLog> writer = ProductionLog::Open(BenchLog(), &log_error);
  qz::prodlog::UnitStart start;
  start.station = "station-0";
  start.port = "sim-1";
  {
    std::unique_lock<std::mutex> lock(mutex);
    arrived.wait(lock, [&] { return events > 0; });  // the stream's first event
  }
  for (auto _ : state) {
    int seen = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex);
      seen = events;
    }
    const auto begun = writer->BeginUnit(start, &log_error);
    (void)writer->CompleteUnit(begun->unit_id, qz::prodlog::UnitEnd{}, &log_error);
    const auto ended = std::chrono::steady_clock::now();
    {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait(lock, [&] { return events > seen; });
    }
    const auto figures = page.Get("/api/line");
    benchmark::DoNotOptimize(figures);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - ended).count());
    // the next unit ends at another moment of the server's poll
    std::this_thread::sleep_for(std::chrono::milliseconds(137));
  }
  listener.stop();
  server.Stop();
  listening.join();
  serving.join();
}
BENCHMARK(BM_UnitEndToPage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Repetitions(12)->ComputeStatistics("p95", P95)->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();
