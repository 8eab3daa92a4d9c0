// The line database under a line's load: 16 station processes of 16 ports each (one thread per
// port, one log per station, as the station runs) program units against one PostgreSQL server
// on this machine, each station through its own local journal as `station --log URI` does.
// Prints the start of a unit at the station (BeginUnit: serial number and row) as p50/p95, and
// the unit rows per second pushed to the server (from the first start until every station's
// journal is drained). Goals: p95 < 5 ms; >= 500 rows/s. Then, with its own server: the time to
// drain a journal of 1000 units after an outage. Last, the server's lease throughput: blocks of
// 16 leased on one connection through the line's function qz670x.lease, against the direct
// statements stations sent before the station role lost its writes (kept here only).
//
// The server: QZ_BENCH_PG_URL when set (a database the bench may fill; no outage then), else a
// throwaway cluster made by tests/support/pg_cluster.sh in the current directory and removed at
// the end.
//   line_database_bench [STATIONS [PORTS [UNITS_PER_PORT [JOB_MS [direct]]]]]
// JOB_MS: how long each port's job takes between a unit's start and its end (default 0: units
// back to back, the server's ceiling; 1000 is a line's load, far above a real job's pace). With
// JOB_MS the ports' first units are spread over the first JOB_MS, as a line's ports are.
// "direct": the stations write straight to the database, without a journal.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "prodlog/pq.h"
#include "bench_units.h"
#include "prodlog/production_log.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::prodlog::ProductionLog;

qz::prodlog::UnitStart Start(int station, int port) {
  return qz::bench::FactoryUnitStart("bench-" + std::to_string(station), port, "LINE-########");
}

// One station: its ports' threads share one log; writes each BeginUnit's microseconds to `out`.
int RunStation(const std::string& url, const std::string& journals, int station, int ports,
               int units, int job_ms, int out) {
  qz::prodlog::LogError error;
  qz::prodlog::LogOptions options;
  if (!journals.empty()) {
    options.journal = journals + "/journal-" + std::to_string(station) + ".sqlite3";
    // as the station opens it: the first block is leased before the first unit
    const qz::prodlog::UnitStart shared = Start(station, 0);
    options.serial_format = shared.serial_format;
    options.serial_start = shared.serial_start;
    options.station = shared.station;
  }
  if (const char* block = std::getenv("QZ_BENCH_SERIAL_BLOCK"); block != nullptr) {
    options.serial_block = std::atoi(block);
  }
  auto log = ProductionLog::Open(url, &error, options);
  if (!log) {
    std::fprintf(stderr, "%s\n", error.message.c_str());
    return 1;
  }
  std::vector<std::vector<std::int64_t>> micros(static_cast<std::size_t>(ports));
  std::vector<std::thread> threads;
  bool failed = false;
  for (int port = 0; port < ports; ++port) {
    threads.emplace_back([&, port] {
      const qz::prodlog::UnitStart start = Start(station, port);
      qz::prodlog::UnitEnd end;
      end.exit_code = 0;
      end.message = "Write to EEPROM OK!";
      end.eeprom_touched = true;
      // a line's ports do not start in step: each begins somewhere within the first job
      if (job_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds((station * 131 + port * 61) % job_ms));
      }
      for (int i = 0; i < units; ++i) {
        const auto begin = Clock::now();
        qz::prodlog::LogError why;
        const auto unit = log->BeginUnit(start, &why);
        if (!unit) std::fprintf(stderr, "line_database_bench: %s\n", why.message.c_str());
        micros[static_cast<std::size_t>(port)].push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count());
        if (job_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(job_ms));
        if (!unit || !log->CompleteUnit(unit->unit_id, end, nullptr)) failed = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (!log->Flush()) {  // every row is in the database
    std::fprintf(stderr, "line_database_bench: station %d could not push its journal\n", station);
    failed = true;
  }
  log.reset();
  for (const auto& list : micros) {
    for (const std::int64_t value : list) {
      if (write(out, &value, sizeof value) != sizeof value) return 1;
    }
  }
  return failed ? 1 : 0;
}

constexpr int kDrainUnits = 1000;

// A station programs 1000 units while the server is down (no serial format: the journal holds
// no leased numbers), then the server comes back: seconds until the journal is drained; < 0
// when it fails.
double DrainAfterOutage(const std::string& url, const std::string& cluster,
                        const std::string& journals) {
  if (std::system(("bash " QZ_PG_CLUSTER_SCRIPT " halt " + cluster).c_str()) != 0) return -1;
  qz::prodlog::LogOptions options;
  options.journal = journals + "/journal-outage.sqlite3";
  options.connect_timeout_s = 2;
  qz::prodlog::LogError error;
  auto log = ProductionLog::Open(url, &error, options);
  bool ok = log != nullptr;
  qz::prodlog::UnitStart start = Start(99, 1);
  start.serial_format.reset();
  qz::prodlog::UnitEnd end;
  end.message = "Write to EEPROM OK!";
  end.eeprom_touched = true;
  for (int i = 0; ok && i < kDrainUnits; ++i) {
    const auto unit = log->BeginUnit(start, &error);
    ok = unit && log->CompleteUnit(unit->unit_id, end, &error);
  }
  if (std::system(("bash " QZ_PG_CLUSTER_SCRIPT " resume " + cluster).c_str()) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "line_database_bench: %s\n", error.message.c_str());
    return -1;
  }
  const auto begin = Clock::now();
  bool drained = false;
  for (int attempt = 0; !drained && attempt < 600; ++attempt) drained = log->Flush();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  return drained ? seconds : -1;
}

constexpr int kLeases = 2000;
constexpr int kLeaseBlock = 16;

// Blocks leased per second on one connection, through the function (`direct` false) or the
// statements of before; < 0 when one fails.
double LeasesPerSecond(const std::string& url, bool direct) {
  namespace pq = qz::prodlog::pq;
  auto connection = pq::Connection::Open(url, {});
  const std::pair<const char*, const char*> statements[] = {
      {"lease", "SELECT qz670x.lease($1::text, $2::bigint, $3::integer, $4::text, $5::text)"},
      {"begin", "BEGIN"},
      {"commit", "COMMIT"},
      {"released_lease",
       "DELETE FROM qz670x.serials_released WHERE format = $1 AND number IN"
       " (SELECT number FROM qz670x.serials_released WHERE format = $1 AND number >= $2::bigint"
       "  ORDER BY number LIMIT $3::integer FOR UPDATE SKIP LOCKED) RETURNING number"},
      {"counter_lease",
       "INSERT INTO qz670x.serial_counters AS c(format, next) VALUES($1, $2::bigint + $3::bigint)"
       " ON CONFLICT(format) DO UPDATE SET next = GREATEST(c.next, $2::bigint) + $3::bigint"
       " RETURNING next - $3::bigint"},
      {"lease_insert",
       "INSERT INTO qz670x.serial_leases(format, number, station, holder)"
       " SELECT $1, unnest($2::bigint[]), $3, $4"},
  };
  std::string why;
  for (const auto& [name, sql] : statements) {
    if (!connection->Ok() || !connection->Prepare(name, sql, &why)) return -1;
  }
  // the holder exists before the statements of before lease to it
  const std::string format = direct ? "DIRECT-########" : "FUNCTION-########";
  const std::string holder = direct ? "bench-direct" : "bench-function";
  if (!connection->Run("lease", {format, "1", "1", "bench", holder}).Ok()) return -1;
  const auto begin = Clock::now();
  for (int i = 0; i < kLeases; ++i) {
    const std::string count = std::to_string(kLeaseBlock);
    if (!direct) {
      const pq::Result numbers = connection->Run("lease", {format, "1", count, "bench", holder});
      if (!numbers.Ok() || numbers.Rows() != kLeaseBlock) return -1;
      continue;
    }
    bool ok = connection->Run("begin", {}).Ok();
    const pq::Result released = connection->Run("released_lease", {format, "1", count});
    ok = ok && released.Ok();
    const pq::Result counter = connection->Run("counter_lease", {format, "1", count});
    ok = ok && counter.Ok();
    std::string array = "{";
    for (std::int64_t n = 0; ok && n < kLeaseBlock; ++n) {
      array += (n == 0 ? "" : ",") + std::to_string(counter.Int(0, 0) + n);
    }
    array += "}";
    ok = ok && connection->Run("lease_insert", {format, array, "bench", holder}).Ok();
    if (!ok || !connection->Run("commit", {}).Ok()) return -1;
  }
  return kLeases / std::chrono::duration<double>(Clock::now() - begin).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int stations = argc > 1 ? std::atoi(argv[1]) : 16;
  const int ports = argc > 2 ? std::atoi(argv[2]) : 16;
  const int units = argc > 3 ? std::atoi(argv[3]) : 20;
  const int job_ms = argc > 4 ? std::atoi(argv[4]) : 0;
  const bool direct = argc > 5 && std::string(argv[5]) == "direct";
  std::string journals;
  if (!direct) {
    journals = (std::filesystem::temp_directory_path() /
                ("line_bench_journals_" + std::to_string(getpid())))
                   .string();
    std::filesystem::create_directories(journals);
  }

  std::string url;
  std::string cluster;
  if (const char* given = std::getenv("QZ_BENCH_PG_URL"); given != nullptr && *given != '\0') {
    url = given;
  } else {
    cluster = (std::filesystem::current_path() / ("line_bench_pg_" + std::to_string(getpid())))
                  .string();
    const std::string command = "bash " QZ_PG_CLUSTER_SCRIPT " start " + cluster;
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "line_database_bench: the PostgreSQL server did not start\n");
      return 1;
    }
    std::ifstream(cluster + "/url") >> url;
  }
  const auto stop = [&] {
    if (!cluster.empty()) {
      (void)std::system(("bash " QZ_PG_CLUSTER_SCRIPT " stop " + cluster).c_str());
    }
    if (!journals.empty()) std::filesystem::remove_all(journals);
  };
  {
    qz::prodlog::LogError error;
    if (!ProductionLog::Open(url, &error)) {  // the schema, before the stations race
      std::fprintf(stderr, "%s\n", error.message.c_str());
      stop();
      return 1;
    }
  }

  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return 1;
  const auto begin = Clock::now();
  std::vector<pid_t> children;
  for (int station = 0; station < stations; ++station) {
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_ends[0]);
      _exit(RunStation(url, journals, station, ports, units, job_ms, pipe_ends[1]));
    }
    children.push_back(child);
  }
  close(pipe_ends[1]);
  std::vector<std::int64_t> micros;
  std::int64_t value = 0;
  while (read(pipe_ends[0], &value, sizeof value) == sizeof value) micros.push_back(value);
  bool ok = true;
  for (const pid_t child : children) {
    int status = 0;
    ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const double drain = ok && !cluster.empty() && !direct ? DrainAfterOutage(url, cluster, journals)
                                                         : -1;
  const double through_function = ok && !cluster.empty() ? LeasesPerSecond(url, false) : -1;
  const double through_statements = ok && !cluster.empty() ? LeasesPerSecond(url, true) : -1;
  stop();
  if (!ok || micros.empty()) {
    std::fprintf(stderr, "line_database_bench: a station failed\n");
    return 1;
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return static_cast<double>(micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]) / 1000.0;
  };
  std::printf("stations %d x ports %d x units %d (job %d ms) = %zu units in %.2f s\n", stations,
              ports, units, job_ms, micros.size(), seconds);
  std::printf("unit start (BeginUnit) at the station: p50 %.2f ms, p95 %.2f ms, max %.2f ms\n",
              at(0.50), at(0.95), at(1.0));
  std::printf("%s: %.0f unit rows/s (begun and completed, every journal drained)\n",
              direct ? "written straight to the database" : "pushed from the journals",
              static_cast<double>(micros.size()) / seconds);
  if (drain >= 0) {
    std::printf("a journal of %d units drained after an outage in %.2f s\n", kDrainUnits, drain);
  }
  if (through_function >= 0 && through_statements >= 0) {
    std::printf("leases of %d numbers on one connection: %.0f/s through qz670x.lease, %.0f/s "
                "through the direct statements of before\n",
                kLeaseBlock, through_function, through_statements);
  }
  return 0;
}
