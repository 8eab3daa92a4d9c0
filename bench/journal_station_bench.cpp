// One station on a line database through its local journal, as `station --log URI` runs it: a
// plain program (no fork, no benchmark library) that the Windows build compiles too, so a
// Windows station and a Linux one can be measured against the same server
// (bench/windows_line_bench.sh runs both).
//
//   journal_station_bench URI STATION JOURNAL [UNITS]
//     UNITS (default 500) units begun and completed back to back on one port of the station,
//     the journal a new file. Prints the start of a unit at the station (BeginUnit: serial
//     number and row) as p50/p95/max, and the unit rows per second pushed to the server, from
//     the first start until the journal is drained.
//   journal_station_bench URI STATION JOURNAL backlog UNITS
//     the server is out of reach (the caller stopped it): UNITS units into the journal, without
//     serial numbers, none of them pushed.
//   journal_station_bench URI STATION JOURNAL drain
//     the server is back: the station opens the journal the backlog left and pushes it; prints
//     the seconds from opening the log until the journal is drained.
//
// The URI's owner may create the schema: the first run does, before its units are timed.
// QZ_BENCH_SERIAL_BLOCK sets the block of serial numbers leased at once (default 16).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_units.h"
#include "prodlog/production_log.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::prodlog::LogError;
using qz::prodlog::LogOptions;
using qz::prodlog::ProductionLog;

// How many times the end of a run asks the pusher to drain the journal before giving up.
constexpr int kFlushAttempts = 600;

struct Station {
  std::string url;
  std::string name;
  std::string journal;
};

qz::prodlog::UnitEnd Passed() {
  qz::prodlog::UnitEnd end;
  end.exit_code = 0;
  end.message = "Write to EEPROM OK!";
  end.eeprom_touched = true;
  return end;
}

bool Drain(ProductionLog& log) {
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    if (log.Flush()) return true;
  }
  return false;
}

double SecondsSince(Clock::time_point begin) {
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

// The units back to back: each start's time, then the push until the journal is drained.
int Run(const Station& station, int units) {
  LogError error;
  if (!ProductionLog::Open(station.url, &error)) {  // the schema, before anything is timed
    std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
    return 1;
  }
  const qz::prodlog::UnitStart start =
      qz::bench::FactoryUnitStart(station.name, 1, "LINE-########");
  LogOptions options;
  options.journal = station.journal;
  // as the station opens it: the first block is leased before the first unit
  options.serial_format = start.serial_format;
  options.serial_start = start.serial_start;
  options.station = start.station;
  if (const char* block = std::getenv("QZ_BENCH_SERIAL_BLOCK"); block != nullptr) {
    options.serial_block = std::atoi(block);
  }
  auto log = ProductionLog::Open(station.url, &error, options);
  if (!log) {
    std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
    return 1;
  }
  const qz::prodlog::UnitEnd end = Passed();
  std::vector<std::int64_t> micros;
  micros.reserve(static_cast<std::size_t>(units));
  const auto begin = Clock::now();
  for (int i = 0; i < units; ++i) {
    const auto unit_begin = Clock::now();
    const auto unit = log->BeginUnit(start, &error);
    micros.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - unit_begin).count());
    if (!unit || !log->CompleteUnit(unit->unit_id, end, &error)) {
      std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
      return 1;
    }
  }
  const double written = SecondsSince(begin);
  if (!Drain(*log)) {
    std::fprintf(stderr, "journal_station_bench: the journal could not be pushed\n");
    return 1;
  }
  const double seconds = SecondsSince(begin);
  log.reset();

  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1));
    return static_cast<double>(micros[index]) / 1000.0;
  };
  std::printf("station %s: %d units in %.2f s, the journal drained after %.2f s\n",
              station.name.c_str(), units, written, seconds);
  std::printf("unit start (BeginUnit) at the station: p50 %.2f ms, p95 %.2f ms, max %.2f ms\n",
              at(0.50), at(0.95), at(1.0));
  std::printf("pushed from the journal: %.0f unit rows/s (begun and completed, the journal "
              "drained)\n",
              static_cast<double>(units) / seconds);
  return 0;
}

// The server is away: units without serial numbers into the journal, which must keep them.
int Backlog(const Station& station, int units) {
  LogOptions options;
  options.journal = station.journal;
  options.connect_timeout_s = 2;
  LogError error;
  auto log = ProductionLog::Open(station.url, &error, options);
  qz::prodlog::UnitStart start = qz::bench::FactoryUnitStart(station.name, 1, "LINE-########");
  start.serial_format.reset();
  const qz::prodlog::UnitEnd end = Passed();
  bool ok = log != nullptr;
  for (int i = 0; ok && i < units; ++i) {
    const auto unit = log->BeginUnit(start, &error);
    ok = unit && log->CompleteUnit(unit->unit_id, end, &error);
  }
  if (!ok) {
    std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
    return 1;
  }
  if (log->Flush()) {
    std::fprintf(stderr, "journal_station_bench: the server was in reach, nothing waits\n");
    return 1;
  }
  return 0;
}

// The server is back: from opening the log (which pushes what the journal holds) until drained.
int DrainBacklog(const Station& station) {
  LogOptions options;
  options.journal = station.journal;
  LogError error;
  const auto begin = Clock::now();
  auto log = ProductionLog::Open(station.url, &error, options);
  if (!log) {
    std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
    return 1;
  }
  if (!Drain(*log)) {
    std::fprintf(stderr, "journal_station_bench: the journal could not be pushed\n");
    return 1;
  }
  const double seconds = SecondsSince(begin);
  const auto rows = log->Rows({}, &error);
  if (!rows) {
    std::fprintf(stderr, "journal_station_bench: %s\n", error.message.c_str());
    return 1;
  }
  const auto count = static_cast<int>(rows->size());
  std::printf("a journal of %d units drained after an outage in %.2f s (%.0f unit rows/s)\n",
              count, seconds, static_cast<double>(count) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: journal_station_bench URI STATION JOURNAL [UNITS | backlog UNITS | "
                 "drain]\n");
    return 2;
  }
  const Station station{argv[1], argv[2], argv[3]};
  const std::string mode = argc > 4 ? argv[4] : "";
  if (mode == "backlog" && argc > 5) return Backlog(station, std::max(std::atoi(argv[5]), 1));
  if (mode == "drain") return DrainBacklog(station);
  return Run(station, mode.empty() ? 500 : std::max(std::atoi(mode.c_str()), 1));
}
