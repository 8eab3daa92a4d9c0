// The production log's cost per unit: BeginUnit (row and serial number in one transaction) plus
// CompleteUnit, goal < 5 ms per unit, on a file in the current directory (the disk a station
// would use; /tmp may be memory). With 2 threads, two connections share the file as two
// station processes would. BM_DiskSync is the floor: one 4 KiB write and fdatasync in the same
// directory, the one disk wait a unit's row costs (its start is synced before the chip is
// touched; its completion rides on the next sync).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include <filesystem>
#include <memory>
#include <string>

#include "bench_units.h"
#include "prodlog/production_log.h"

namespace {

namespace fs = std::filesystem;
using qz::prodlog::ProductionLog;

std::string BenchLogPath() {
  return (fs::current_path() / ("production_log_bench_" + std::to_string(getpid()) + ".sqlite3"))
      .string();
}

void RemoveLog(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
}

void BM_LogOneUnit(benchmark::State& state) {
  static const std::string path = BenchLogPath();
  if (state.thread_index() == 0) RemoveLog(path);
  qz::prodlog::LogError error;
  std::unique_ptr<ProductionLog> log = ProductionLog::Open(path, &error);
  if (!log) {
    state.SkipWithError(error.message.c_str());
    return;
  }
  qz::prodlog::UnitStart start =
      qz::bench::FactoryUnitStart("bench", state.thread_index() + 1, "L7-##########");
  start.overrides = {{"product", "QZ Audio"}, {"manufacturer", "QZ"}};
  qz::prodlog::UnitEnd end;
  end.exit_code = 0;
  end.message = "Write to EEPROM OK!";
  end.duration_ms = 3100;
  end.transfers = 8192;
  end.eeprom_touched = true;
  for (auto _ : state) {
    const auto unit = log->BeginUnit(start, &error);
    if (!unit || !log->CompleteUnit(unit->unit_id, end, &error)) {
      state.SkipWithError(error.message.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  log.reset();
  if (state.thread_index() == 0) RemoveLog(path);
}
BENCHMARK(BM_LogOneUnit)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(1)->Threads(2);

void BM_DiskSync(benchmark::State& state) {
  const std::string path = BenchLogPath() + ".sync";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    state.SkipWithError("cannot create the sync probe file");
    return;
  }
  const std::vector<char> page(4096, 'x');
  off_t offset = 0;
  for (auto _ : state) {
    if (pwrite(fd, page.data(), page.size(), offset) != static_cast<ssize_t>(page.size()) ||
        fdatasync(fd) != 0) {
      state.SkipWithError("write or sync failed");
      break;
    }
    offset += static_cast<off_t>(page.size());
  }
  close(fd);
  fs::remove(path);
}
BENCHMARK(BM_DiskSync)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
