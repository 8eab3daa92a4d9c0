// The head office's lag: two sites (throwaway servers with wal_level = logical, made by
// tests/support/pg_cluster.sh in the current directory and removed at the end) program a burst
// of units together, each site's ports straight into its line database; the head office
// subscribes to both. Prints how long the sites took, and the lag: the time from the last
// commit at the sites until the head office holds every unit finished.
//   head_office_bench [UNITS_PER_SITE [PORTS_PER_SITE]]   (default 5000 8: 10 000 units)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "line/head_office_company.h"
#include "bench_units.h"
#include "prodlog/production_log.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::prodlog::ProductionLog;
using qz::prodlog::line_test::Company;

qz::prodlog::UnitStart Start(const std::string& site, int port) {
  return qz::bench::FactoryUnitStart("bench-" + site, port, "B-########");
}

// One port's units at a site, each begun and completed; false when one failed.
bool RunPort(const Company::Server& site, int port, int units) {
  qz::prodlog::LogError error;
  auto log = ProductionLog::Open(site.Url("station_a"), &error);
  if (!log) return std::fprintf(stderr, "%s\n", error.message.c_str()), false;
  qz::prodlog::UnitEnd end;
  end.message = "Write to EEPROM OK!";
  end.eeprom_touched = true;
  const qz::prodlog::UnitStart start = Start(site.name, port);
  for (int i = 0; i < units; ++i) {
    const auto unit = log->BeginUnit(start, &error);
    if (!unit || !log->CompleteUnit(unit->unit_id, end, &error)) {
      return std::fprintf(stderr, "%s\n", error.message.c_str()), false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int per_site = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int ports = argc > 2 ? std::atoi(argv[2]) : 8;
  const std::string base =
      std::filesystem::absolute("head_office_bench_" + std::to_string(getpid())).string();
  Company company(QZ_PG_CLUSTER_SCRIPT, base, QZ_PACKAGING_SQL_DIR);
  std::string why;
  if (!company.Start(&why)) {
    std::fprintf(stderr, "head_office_bench: %s\n", why.c_str());
    return 1;
  }
  const auto begin = Clock::now();
  std::atomic<bool> failed = false;
  std::vector<std::thread> threads;
  for (const Company::Server* site : {&company.sz, &company.pn}) {
    for (int port = 0; port < ports; ++port) {
      const int units = per_site / ports + (port < per_site % ports ? 1 : 0);
      threads.emplace_back([&, site, port, units] {
        if (!RunPort(*site, port, units)) failed = true;
      });
    }
  }
  for (std::thread& thread : threads) thread.join();
  const auto last_commit = Clock::now();
  if (failed) return 1;
  const std::string all = std::to_string(2 * per_site);
  if (!company.AtHeadOffice("SELECT count(*) FROM qz670x.units WHERE ended IS NOT NULL", all,
                            std::chrono::minutes(10))) {
    std::fprintf(stderr, "head_office_bench: the head office did not catch up in 10 minutes\n");
    return 1;
  }
  const auto caught_up = Clock::now();
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  std::printf("burst: %s units from 2 sites (%d ports each) in %.0f ms (%.0f units/s)\n",
              all.c_str(), ports, ms(last_commit - begin),
              2.0 * per_site / (ms(last_commit - begin) / 1000.0));
  std::printf("head office lag after the sites' last commit: %.0f ms\n",
              ms(caught_up - last_commit));
  return 0;
}
